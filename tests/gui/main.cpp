// The desktop window's tests run in one QApplication made as the program
// makes it. With "--screenshots DIR" the binary renders the window and its
// dialogs into DIR instead of running the tests.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QtGlobal>

#include "gui/main_window.h"
#include "gui/screenshots.h"

namespace {

QtMessageHandler defaultHandler = nullptr;

// The offscreen platform cannot raise windows or grab the keyboard and says
// so each time a dialog opens; those notices are dropped, the rest kept.
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith("This plugin does not support")) return;
    if (defaultHandler) defaultHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    // Always offscreen unless told otherwise, also when the test list is
    // read at build time (no display there).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    defaultHandler = qInstallMessageHandler(quietHandler);
    auto app = corvantel::gui::makeApplication(argc, argv);
    if (int status = corvantel::gui::screenshotsMain(argc, argv); status >= 0) return status;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// The screenshot mode renders every picture, at the window's sizes.

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QTemporaryDir>

#include "gui/screenshots.h"

namespace corvantel {
namespace {

TEST(Screenshots, RendersTheWindowItsMenusAndEachDialog) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.filePath("shots");
    const QStringList written = gui::writeScreenshots(folder);
    const QStringList expected = {"icon.png",          "main_window.png",      "menu_schedules.png",
                                  "menu_options.png",  "message_box.png",      "time_dialog.png",
                                  "time_dialog_over_window.png", "work_path_dialog.png", "about_box.png",
                                  "main_window_downloading.png"};
    for (const auto& name : expected) EXPECT_TRUE(written.contains(name)) << name.toStdString();

    auto load = [&](const char* name) { return QImage(QDir(folder).filePath(name)); };
    EXPECT_EQ(load("icon.png").size(), QSize(32, 32));
    // Pictures carry a drawn frame: 4 pixels each side, an 18-pixel title
    // and a 1-pixel line under it, around the client area.
    const QImage main = load("main_window.png");
    EXPECT_EQ(main.width(), 722 + 8);
    EXPECT_GT(main.height(), 233 + 8 + 19);  // plus the menu bar
    EXPECT_EQ(load("work_path_dialog.png").size(), QSize(312 + 8, 213 + 8 + 19));
    EXPECT_EQ(load("about_box.png").size(), QSize(245 + 8, 213 + 8 + 19));
    // The about picture fills the box's client area (its own colours, not
    // the window face).
    const QImage about = load("about_box.png");
    EXPECT_NE(about.pixelColor(4 + 120, 4 + 19 + 100), QColor(212, 208, 200));
}

}  // namespace
}  // namespace corvantel

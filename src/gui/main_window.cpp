#include "gui/main_window.h"

#include <QWidget>

#include "app/app_state.h"

namespace corvantel::gui {

std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv) {
    return std::make_unique<QApplication>(argc, argv);
}

struct MainWindow::Impl {
    explicit Impl(App& a) : app(a) {}
    App& app;
    QWidget window;
};

MainWindow::MainWindow(App& app) : impl_(std::make_unique<Impl>(app)) {
    impl_->window.setWindowTitle(QString::fromStdString(app.w.caption()));
    app.w.addObserver([this](const platform::Control*) {
        impl_->window.setWindowTitle(QString::fromStdString(impl_->app.w.caption()));
    });
}

MainWindow::~MainWindow() = default;

void MainWindow::show() { impl_->window.show(); }

}  // namespace corvantel::gui

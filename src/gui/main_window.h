#pragma once
// The desktop window: a thin Qt Widgets view over the window model.

#include <QApplication>
#include <memory>

namespace corvantel {
class App;
}

namespace corvantel::gui {

std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv);

class MainWindow {
public:
    explicit MainWindow(App& app);
    ~MainWindow();
    void show();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvantel::gui

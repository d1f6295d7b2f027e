#pragma once
// The desktop window: a thin Qt Widgets view over the window model.
//
// Every widget carries the name of the model control it shows as its
// objectName ("Text1", "Label11", "Check1", "ai_nlst" for menu actions,
// "Form2".."Form4" for the dialogs), so a test can find it with findChild.

#include <QApplication>
#include <memory>
#include <string>

class QAction;
class QMainWindow;
class QWidget;

namespace corvantel {
class App;
}

namespace corvantel::gui {

// The QApplication with the program's look: the classic font faces with
// their installed substitutes, style, palette and icon. The program ends
// through the logic only, never because a window closed.
std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv);

class TimeDialogView;
class WorkPathView;
class AboutView;

class MainWindow {
public:
    // Builds the window and the three dialogs from the models of app and
    // follows every later change of them. Make it before app.startUp().
    explicit MainWindow(App& app);
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;
    void show();

    // Access for tests and screenshots.
    QMainWindow* widget() const;
    // The widget of a main-window control by its model name, or null.
    QWidget* control(const std::string& name) const;
    // The menu action of a menu item (for a sub-menu, its menu's action).
    QAction* menuAction(const std::string& name) const;
    TimeDialogView& timeDialog() const;
    WorkPathView& workPathDialog() const;
    AboutView& aboutBox() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvantel::gui

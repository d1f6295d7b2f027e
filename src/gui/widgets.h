#pragma once
// Small widget classes that hand the user's gestures to the models instead
// of acting on them: the close box, double-clicks on labels and the Enter and
// Escape keys of the dialogs.

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMouseEvent>
#include <QWidget>
#include <functional>

namespace corvantel::gui {

// Key codes the dialog models take for Enter and Escape.
constexpr int keyEnter = 13;
constexpr int keyEscape = 27;

// Enter (either key) gives 13, Escape 27, anything else 0.
inline int closingKeyCode(const QKeyEvent& e) {
    switch (e.key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return keyEnter;
        case Qt::Key_Escape:
            return keyEscape;
        default:
            return 0;
    }
}

// The main window frame: its close box asks the logic, which minimises the
// window or ends the program itself; Qt never closes it on its own.
class MainFrame : public QMainWindow {
public:
    std::function<void()> onCloseBox;

protected:
    void closeEvent(QCloseEvent* e) override {
        e->ignore();
        if (onCloseBox) onCloseBox();
    }
};

// A label that reports double-clicks.
class ClickLabel : public QLabel {
public:
    using QLabel::QLabel;
    std::function<void()> onDoubleClick;

protected:
    void mouseDoubleClickEvent(QMouseEvent* e) override {
        if (e->button() == Qt::LeftButton && onDoubleClick) {
            onDoubleClick();
            e->accept();
            return;
        }
        QLabel::mouseDoubleClickEvent(e);
    }
};

// A dialog window whose closing is decided by its model: the close box and
// the Enter and Escape keys go to the model, which hides the window through
// its observer.
class DialogFrame : public QWidget {
public:
    DialogFrame() : QWidget(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint) {
        setFocusPolicy(Qt::StrongFocus);
    }
    std::function<void(int)> onKey;  // every key code typed on the window
    std::function<void()> onCloseBox;

    // Catches Enter and Escape typed on a child control before the control
    // handles them; install with child->installEventFilter(frame).
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() == QEvent::KeyPress) {
            int code = closingKeyCode(*static_cast<QKeyEvent*>(e));
            if (code != 0 && onKey) {
                onKey(code);
                return true;
            }
        }
        return QWidget::eventFilter(watched, e);
    }

protected:
    void keyPressEvent(QKeyEvent* e) override {
        int code = closingKeyCode(*e);
        if (code != 0 && onKey) {
            onKey(code);
            e->accept();
            return;
        }
        QWidget::keyPressEvent(e);
    }
    void closeEvent(QCloseEvent* e) override {
        e->ignore();
        if (onCloseBox) onCloseBox();
    }
};

}  // namespace corvantel::gui

#include "gui/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProxyStyle>
#include <QStyleFactory>
#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <unordered_map>

#include "app/app_state.h"
#include "app/dialogs.h"
#include "gui/artwork.h"
#include "gui/dialog_views.h"
#include "gui/look.h"
#include "gui/widgets.h"
#include "schedule/time_dialog.h"

namespace corvantel::gui {

using platform::CheckBox;
using platform::Control;
using platform::Label;
using platform::MenuItem;
using platform::TextBox;

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

// Fusion, except that password fields show "*" for each character.
class LookStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_LineEdit_PasswordCharacter) return '*';
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};

QPalette classicPalette() {
    QPalette p = QApplication::style()->standardPalette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(group, QPalette::Window, faceColour);
        p.setColor(group, QPalette::Button, faceColour);
    }
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        p.setColor(group, QPalette::Highlight, highlightColour);
        p.setColor(group, QPalette::HighlightedText, Qt::white);
        p.setColor(group, QPalette::WindowText, Qt::black);
        p.setColor(group, QPalette::ButtonText, Qt::black);
    }
    return p;
}

// Colours of one widget: text (not in the disabled group, where the
// toolkit greys it) and optionally the background (in every group).
void colour(QWidget* w, QPalette::ColorRole textRole, const QColor& text, QPalette::ColorRole backRole = QPalette::NoRole,
            const QColor& back = QColor()) {
    QPalette p = w->palette();
    if (text.isValid())
        for (auto group : {QPalette::Active, QPalette::Inactive}) p.setColor(group, textRole, text);
    if (back.isValid() && backRole != QPalette::NoRole)
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) p.setColor(group, backRole, back);
    w->setPalette(p);
}

}  // namespace

std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv) {
    auto app = std::make_unique<QApplication>(argc, argv);
    installFontSubstitutes();
    QApplication::setStyle(new LookStyle(QStyleFactory::create("Fusion")));
    QApplication::setPalette(classicPalette());
    QApplication::setFont(sansFont(8.25));
    QApplication::setWindowIcon(windowIcon());
    // Closing a window never ends the program: the logic decides that.
    app->setQuitOnLastWindowClosed(false);
    return app;
}

struct MainWindow::Impl {
    explicit Impl(App& a) : app(a), w(a.w) {}

    App& app;
    platform::Form1& w;
    MainFrame frame;
    QWidget* central = nullptr;
    // What to redraw when a control of the model changes.
    std::unordered_map<const Control*, std::function<void()>> syncers;
    std::map<std::string, QWidget*> widgets;
    std::map<std::string, QAction*> actions;
    // Declared after the frame: the dialogs go first.
    std::unique_ptr<TimeDialogView> form2;
    std::unique_ptr<WorkPathView> form3;
    std::unique_ptr<AboutView> form4;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    // Above 0 while a user edit is being handed to the model.
    int editDepth = 0;

    void build();
    void buildMenus();
    QLineEdit* addText(TextBox& t, QRect r, const QFont& f, const QColor& fg, const QColor& bg = QColor(),
                       bool password = false);
    ClickLabel* addLabel(Label& l, QRect r, const QFont& f, const QColor& fg = QColor());
    QCheckBox* addCheck(CheckBox& c, QRect r);
    void syncText(QLineEdit* e, const TextBox& t);
    void syncForm();
    void showMessage(const std::string& text);
};

// ---- controls

QLineEdit* MainWindow::Impl::addText(TextBox& t, QRect r, const QFont& f, const QColor& fg, const QColor& bg,
                                     bool password) {
    auto* e = new QLineEdit(central);
    e->setObjectName(qs(t.name()));
    e->setGeometry(r);
    e->setFont(f);
    e->setTextMargins(0, 0, 0, 0);
    colour(e, QPalette::Text, fg, QPalette::Base, bg);
    if (password) e->setEchoMode(QLineEdit::Password);
    // Each edit of the user goes to the model, whose change handling may
    // rewrite the text; the widget then shows the model's text.
    QObject::connect(e, &QLineEdit::textEdited, [this, &t, e](const QString& text) {
        ++editDepth;
        t.userSetText(text.toStdString());
        syncText(e, t);  // also undoes an edit the model refused
        --editDepth;
    });
    syncers[&t] = [this, &t, e] {
        syncText(e, t);
        e->setEnabled(t.enabled());
        e->setVisible(t.visible());
    };
    widgets[t.name()] = e;
    return e;
}

// Shows the model's text. A rewrite during the user's own edit keeps the
// cursor where the user typed: a trimmed text moves it by the characters
// removed in front, a replaced text puts it at the end. A text set by the
// program puts the cursor at the start, so a box too narrow for its text
// shows the beginning.
void MainWindow::Impl::syncText(QLineEdit* e, const TextBox& t) {
    const QString want = qs(t.text());
    if (e->text() == want) return;
    const QString old = e->text();
    const int pos = e->cursorPosition();
    e->setText(want);
    if (editDepth > 0) {
        const qsizetype lead = want.isEmpty() ? -1 : old.indexOf(want);
        const qsizetype at = lead >= 0 ? std::clamp<qsizetype>(pos - lead, 0, want.size()) : want.size();
        e->setCursorPosition(static_cast<int>(at));
    } else {
        e->setCursorPosition(0);
    }
}

ClickLabel* MainWindow::Impl::addLabel(Label& l, QRect r, const QFont& f, const QColor& fg) {
    auto* label = new ClickLabel(central);
    label->setObjectName(qs(l.name()));
    label->setGeometry(r);
    label->setFont(f);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setWordWrap(true);
    if (fg.isValid()) colour(label, QPalette::WindowText, fg);
    label->onDoubleClick = [&l] { l.userDoubleClick(); };
    syncers[&l] = [&l, label] {
        label->setText(qs(l.caption()));
        label->setEnabled(l.enabled());
        label->setVisible(l.visible());
    };
    widgets[l.name()] = label;
    return label;
}

QCheckBox* MainWindow::Impl::addCheck(CheckBox& c, QRect r) {
    auto* box = new QCheckBox(central);
    box->setObjectName(qs(c.name()));
    box->setGeometry(r);
    auto sync = [&c, box] {
        if (box->isChecked() != c.checked()) box->setChecked(c.checked());
        box->setEnabled(c.enabled());
        box->setVisible(c.visible());
    };
    // Qt has flipped the box already; the model flips its own value (or
    // refuses) and the box then shows the model's value, which the change
    // handling may have cleared again (arming with an empty field).
    QObject::connect(box, &QCheckBox::clicked, [&c, sync] {
        c.userClick();
        sync();
    });
    syncers[&c] = sync;
    widgets[c.name()] = box;
    return box;
}

// ---- the window

void MainWindow::Impl::build() {
    frame.setObjectName("Form1");
    // A fixed-size window: it can be minimised and closed, not maximised.
    frame.setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    frame.setWindowIcon(windowIcon());
    central = new QWidget(&frame);
    central->setObjectName("Form1Client");
    central->setFixedSize(twips(10830), twips(3495));
    central->setAutoFillBackground(true);
    frame.setCentralWidget(central);

    const QFont heading = sansFont(9.75, true);
    const QFont jobText = serifFont(6.75);
    const QFont plain = sansFont(8.25);
    const QFont bold = sansFont(8.25, true);
    // Where the substitute face is too wide for a narrow box, its condensed
    // cut stands in.
    QFont narrowBold = bold;
    narrowBold.setStretch(QFont::SemiCondensed);
    const int down = 1320, up = 1800, headTop = 720;

    // Column headings. A heading may run on to the start of the next column
    // (the substitute faces are a little wider than the classic ones).
    addLabel(w.Label1, twipsRect(1440, headTop, 1695, 495), heading);
    addLabel(w.Label2, twipsRect(3240, headTop, 1095, 495), heading);
    addLabel(w.Label3, twipsRect(4440, headTop, 1095, 495), heading);
    addLabel(w.Label4, twipsRect(5640, headTop, 2295, 495), heading);
    addLabel(w.Label5, twipsRect(8040, headTop, 945, 495), heading);
    addLabel(w.Label13, twipsRect(9000, headTop, 585, 495), heading);
    addLabel(w.Label8, twipsRect(9600, headTop, 600, 495), serifFont(8.25, true));
    addLabel(w.Label17, twipsRect(10200, headTop, 630, 495), narrowBold);

    // Row captions.
    addLabel(w.Label6, twipsRect(120, down, 945, 375), plain, downloadColour);
    addLabel(w.Label7, twipsRect(120, up, 975, 375), plain, uploadColour);

    // The download row (blue) and the upload row (red).
    struct Row {
        CheckBox& armed;
        TextBox &host, &user, &pass, &path, &pattern, &port;
        CheckBox& dupe;
        TextBox& retries;
        int top, checkTop, retriesTop;
        QColor colour;
    };
    const Row rows[] = {
        {w.Check1, w.Text1, w.fText3, w.fText4, w.Text2, w.Text7, w.Text9, w.Check3, w.Text11, down, 1320, 1200,
         downloadColour},
        {w.Check2, w.Text3, w.Text4, w.Text5, w.Text6, w.Text8, w.Text10, w.Check4, w.Text12, up, 1920, up,
         uploadColour},
    };
    for (const auto& r : rows) {
        addCheck(r.armed, twipsRect(1080, r.checkTop, 255, 255));
        addText(r.host, twipsRect(1440, r.top, 1695, 375), jobText, r.colour);
        addText(r.user, twipsRect(3240, r.top, 1095, 375), jobText, r.colour);
        addText(r.pass, twipsRect(4440, r.top, 1095, 375), jobText, r.colour, QColor(), true);
        addText(r.path, twipsRect(5640, r.top, 2295, 375), jobText, r.colour);
        addText(r.pattern, twipsRect(8040, r.top, 735, 375), jobText, r.colour);
        addText(r.port, twipsRect(9000, r.top, 495, 375), jobText, r.colour);
        addCheck(r.dupe, twipsRect(9720, r.checkTop, 255, 255));
        addText(r.retries, twipsRect(10200, r.retriesTop, 375, 375), jobText, r.colour);
    }

    // Work path, schedules, counters and last runs.
    addLabel(w.Label15, twipsRect(240, 120, 9735, 375), plain)->setToolTip("Double-click to set the work path");
    addLabel(w.Label9, twipsRect(240, 2520, 1080, 375), plain);
    addLabel(w.Label11, twipsRect(1320, 2520, 1935, 375), bold);
    addLabel(w.Label10, twipsRect(3600, 2520, 1080, 375), plain);
    addLabel(w.Label12, twipsRect(4680, 2520, 1935, 375), bold);
    addLabel(w.Label14, twipsRect(6840, 2520, 1095, 375), bold);
    addText(w.fText6, twipsRect(8040, 2400, 1935, 375), plain, counterText, counterBack);
    addLabel(w.Label16, twipsRect(6840, 3000, 1095, 375), bold);
    addText(w.fText6b, twipsRect(8040, 3000, 1935, 375), plain, counterText, counterBack);
    addLabel(w.Label18, twipsRect(240, 3000, 3135, 375), plain);
    addLabel(w.Label19, twipsRect(3600, 3000, 3135, 375), plain);
    for (auto [box, top] : {std::pair{&w.Text13, 2400}, std::pair{&w.Text14, 3000}}) {
        auto* e = addText(*box, twipsRect(10080, top, 495, 375), narrowBold, percentText, percentBack);
        // The percentage uses the whole inside of its narrow box.
        e->setTextMargins(-2, 0, -2, 0);
        e->setAlignment(Qt::AlignCenter);
    }

    buildMenus();
    frame.layout()->setSizeConstraint(QLayout::SetFixedSize);

    frame.onCloseBox = [this] { w.userClose(); };
    w.onMessageBox = [this](const std::string& text) { showMessage(text); };
    w.onMinimise = [this] { frame.showMinimized(); };

    form2 = std::make_unique<TimeDialogView>(*app.form2, &frame);
    form3 = std::make_unique<WorkPathView>(*app.form3, &frame);
    form4 = std::make_unique<AboutView>(*app.form4, &frame);

    std::weak_ptr<bool> guard = alive;
    w.addObserver([this, guard](const Control* c) {
        if (auto on = guard.lock(); !on || !*on) return;
        if (c == nullptr) {
            syncForm();
            return;
        }
        // Hidden working controls (listing, list, file list) have no view.
        if (auto it = syncers.find(c); it != syncers.end()) it->second();
    });
    for (auto& [control, sync] : syncers) sync();
    syncForm();
}

void MainWindow::Impl::buildMenus() {
    auto* bar = frame.menuBar();
    bar->setObjectName("MenuBar");
    const auto items = w.menuItems();
    std::set<const MenuItem*> withChildren;
    for (auto* m : items)
        if (m->parent() != nullptr) withChildren.insert(m->parent());
    std::map<const MenuItem*, QMenu*> menus;
    for (auto* m : items) {
        QWidget* owner = m->parent() ? static_cast<QWidget*>(menus[m->parent()]) : bar;
        QAction* action = nullptr;
        if (withChildren.count(m)) {
            auto* menu = new QMenu(qs(m->caption()), owner);
            menu->setObjectName(qs(m->name()) + "_menu");
            if (m->parent())
                menus[m->parent()]->addMenu(menu);
            else
                bar->addMenu(menu);
            menus[m] = menu;
            action = menu->menuAction();
        } else {
            action = new QAction(qs(m->caption()), owner);
            if (m->parent())
                menus[m->parent()]->addAction(action);
            else
                bar->addAction(action);
        }
        action->setObjectName(qs(m->name()));
        const bool leaf = !withChildren.count(m);
        // A tick shows only on a ticked item; an unticked one shows no box.
        auto sync = [m, action, leaf] {
            action->setEnabled(m->enabled());
            action->setVisible(m->visible());
            if (leaf) {
                action->setCheckable(m->checked());
                action->setChecked(m->checked());
            }
        };
        if (leaf) {
            QObject::connect(action, &QAction::triggered, [m, sync] {
                m->userChoose();
                sync();  // the model's tick, whatever Qt did to the action
            });
        }
        syncers[m] = sync;
        actions[m->name()] = action;
    }
}

void MainWindow::Impl::syncForm() {
    frame.setWindowTitle(qs(w.caption()));
    frame.setEnabled(w.enabled());
}

// One OK button; shown without blocking the logic (it waits for nothing).
void MainWindow::Impl::showMessage(const std::string& text) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, programTitle, qs(text), QMessageBox::Ok, &frame);
    box->setObjectName("MessageBox");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

// ---- public

MainWindow::MainWindow(App& app) : impl_(std::make_unique<Impl>(app)) { impl_->build(); }

MainWindow::~MainWindow() {
    *impl_->alive = false;
    impl_->w.onMessageBox = nullptr;
    impl_->w.onMinimise = nullptr;
    impl_->frame.onCloseBox = nullptr;
}

void MainWindow::show() { impl_->frame.show(); }

QMainWindow* MainWindow::widget() const { return &impl_->frame; }

QWidget* MainWindow::control(const std::string& name) const {
    auto it = impl_->widgets.find(name);
    return it == impl_->widgets.end() ? nullptr : it->second;
}

QAction* MainWindow::menuAction(const std::string& name) const {
    auto it = impl_->actions.find(name);
    return it == impl_->actions.end() ? nullptr : it->second;
}

TimeDialogView& MainWindow::timeDialog() const { return *impl_->form2; }
WorkPathView& MainWindow::workPathDialog() const { return *impl_->form3; }
AboutView& MainWindow::aboutBox() const { return *impl_->form4; }

}  // namespace corvantel::gui

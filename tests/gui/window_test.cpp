// The main window and its dialogs as the user sees and uses them, on the
// fake platform: user input reaches the models only through the widgets, and
// every change of the models shows in the widgets.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/app_state.h"
#include "support/app_fixture.h"
#include "program/program.h"
#include "app/dialogs.h"
#include "gui/dialog_views.h"
#include "gui/main_window.h"
#include "platform/fake/fake_platform.h"
#include "schedule/time_dialog.h"

namespace corvantel {
namespace {

namespace fs = std::filesystem;
using platform::fake::ProgramEnded;

// ---- helpers

using testing::TempDir;

void settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

void key(QWidget* w, int k, const QString& text = {}, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, k, mods, text);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, k, mods, text);
    QApplication::sendEvent(w, &release);
}

// Types text as key presses, one character at a time.
void type(QLineEdit* e, const QString& text) {
    for (QChar c : text) key(e, c.toUpper().unicode(), QString(c));
}

// Selects the whole field with the keyboard and types over it (an empty
// text deletes it).
void typeOver(QLineEdit* e, const QString& text) {
    key(e, Qt::Key_A, {}, Qt::ControlModifier);
    if (text.isEmpty())
        key(e, Qt::Key_Backspace);
    else
        type(e, text);
}

void mouse(QWidget* w, QEvent::Type type, QPoint at) {
    QMouseEvent e(type, QPointF(at), QPointF(w->mapToGlobal(at)), Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

void click(QWidget* w, QPoint at) {
    mouse(w, QEvent::MouseButtonPress, at);
    mouse(w, QEvent::MouseButtonRelease, at);
}
void click(QWidget* w) { click(w, w->rect().center()); }

void doubleClick(QWidget* w, QPoint at) {
    click(w, at);
    mouse(w, QEvent::MouseButtonDblClick, at);
    mouse(w, QEvent::MouseButtonRelease, at);
}

// Opens a menu and clicks one of its items, as the user does.
void chooseFromMenu(QMenu* menu, QAction* action) {
    ASSERT_NE(menu, nullptr);
    ASSERT_NE(action, nullptr);
    menu->popup(QPoint(10, 10));
    settle();
    const QRect r = menu->actionGeometry(action);
    ASSERT_TRUE(r.isValid()) << action->text().toStdString();
    click(menu, r.center());
    settle();
    menu->hide();
}

QMessageBox* visibleMessageBox() {
    for (auto* top : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(top); box != nullptr && box->isVisible()) return box;
    return nullptr;
}

std::string str(const QString& s) { return s.toStdString(); }

// ---- fixture

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir.file("incoming/deeper"));
        fs::create_directories(dir.file("outgoing"));
        app = std::make_unique<Program>(plat, dir.path());
        window = std::make_unique<gui::MainWindow>(*app);
        app->startUp();
        window->show();
        settle();
    }
    void TearDown() override {
        while (auto* box = visibleMessageBox()) box->close();
        window.reset();
        app.reset();
        settle();
    }

    template <typename T>
    T* get(const char* name) {
        auto* w = qobject_cast<T*>(window->control(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QLineEdit* edit(const char* name) { return get<QLineEdit>(name); }
    QLabel* label(const char* name) { return get<QLabel>(name); }
    QCheckBox* check(const char* name) { return get<QCheckBox>(name); }
    QMenu* menu(const char* name) { return window->widget()->findChild<QMenu*>(QString(name) + "_menu"); }
    QAction* action(const char* name) { return window->menuAction(name); }
    void choose(const char* menuName, const char* item) { chooseFromMenu(menu(menuName), action(item)); }
    // An item that sits on the menu bar itself ("About").
    void clickOnMenuBar(const char* item) {
        auto* bar = frame()->menuBar();
        const QRect r = bar->actionGeometry(action(item));
        ASSERT_TRUE(r.isValid()) << item;
        click(bar, r.center());
        settle();
    }
    QMainWindow* frame() { return window->widget(); }
    platform::Form1& w() { return app->w; }

    platform::fake::FakePlatform plat;
    TempDir dir;
    std::unique_ptr<App> app;
    std::unique_ptr<gui::MainWindow> window;
};

// ---- look and start-up state

TEST_F(Window, ShowsTheStartUpStateOfTheModel) {
    EXPECT_EQ(str(frame()->windowTitle()), "Ftp Corvantel");
    EXPECT_EQ(str(edit("Text1")->text()), "ftp.gnu.org");
    EXPECT_EQ(str(edit("fText3")->text()), "anonymous");
    EXPECT_EQ(str(edit("Text2")->text()), "/tmp");
    EXPECT_EQ(str(edit("Text7")->text()), "*.jpg");
    EXPECT_EQ(str(edit("Text8")->text()), "*.txt");
    EXPECT_EQ(str(edit("Text9")->text()), "21");
    EXPECT_EQ(str(edit("Text11")->text()), "0");
    EXPECT_EQ(str(edit("fText6")->text()), "0");
    EXPECT_EQ(str(label("Label15")->text()), "Working Path is " + dir.path());
    EXPECT_EQ(str(label("Label11")->text()), "Not Set");
    EXPECT_EQ(str(label("Label12")->text()), "Not Set");
    EXPECT_EQ(str(label("Label18")->text()), "Last Download on");
    EXPECT_EQ(str(label("Label1")->text()), "Host Name / IP");
    EXPECT_EQ(str(label("Label8")->text()), "Dupe Chk");
    EXPECT_TRUE(check("Check3")->isChecked());
    EXPECT_TRUE(check("Check4")->isChecked());
    EXPECT_FALSE(check("Check1")->isChecked());
    EXPECT_TRUE(check("Check1")->text().isEmpty());
    EXPECT_FALSE(edit("Text13")->isVisible());
    EXPECT_FALSE(edit("Text14")->isVisible());
    // Passwords show one "*" per character.
    for (const char* name : {"fText4", "Text5"}) {
        auto* e = edit(name);
        EXPECT_EQ(e->echoMode(), QLineEdit::Password);
        EXPECT_EQ(str(e->text()), defaultAnonymousPassword);
        EXPECT_EQ(e->displayText(), QString(e->text().size(), '*')) << name;
    }
}

TEST_F(Window, LayoutFontsAndColoursFollowTheDesign) {
    EXPECT_EQ(frame()->centralWidget()->size(), QSize(722, 233));
    EXPECT_EQ(edit("Text1")->geometry(), QRect(96, 88, 113, 25));
    EXPECT_EQ(edit("Text3")->geometry(), QRect(96, 120, 113, 25));
    EXPECT_EQ(edit("Text2")->geometry(), QRect(376, 88, 153, 25));
    EXPECT_EQ(edit("fText6")->geometry(), QRect(536, 160, 129, 25));
    EXPECT_EQ(edit("Text13")->geometry(), QRect(672, 160, 33, 25));
    EXPECT_EQ(check("Check2")->geometry(), QRect(72, 128, 17, 17));
    EXPECT_EQ(label("Label15")->geometry(), QRect(16, 8, 649, 25));
    EXPECT_EQ(label("Label11")->geometry(), QRect(88, 168, 129, 25));

    const QFont heading = label("Label1")->font();
    EXPECT_TRUE(heading.bold());
    EXPECT_DOUBLE_EQ(heading.pointSizeF(), 9.75);
    EXPECT_EQ(str(QFontInfo(heading).family()), "DejaVu Sans");
    const QFont job = edit("Text1")->font();
    EXPECT_DOUBLE_EQ(job.pointSizeF(), 6.75);
    EXPECT_EQ(str(QFontInfo(job).family()), "DejaVu Serif");
    EXPECT_TRUE(label("Label11")->font().bold());
    EXPECT_TRUE(label("Label14")->font().bold());
    EXPECT_TRUE(edit("Text13")->font().bold());
    EXPECT_EQ(str(QFontInfo(label("Label8")->font()).family()), "DejaVu Serif");

    EXPECT_EQ(edit("Text1")->palette().color(QPalette::Text), QColor(0, 0, 255));
    EXPECT_EQ(edit("Text12")->palette().color(QPalette::Text), QColor(255, 0, 0));
    EXPECT_EQ(edit("Text11")->palette().color(QPalette::Text), QColor(0, 0, 255));
    EXPECT_EQ(edit("Text10")->palette().color(QPalette::Text), QColor(255, 0, 0));
    EXPECT_EQ(edit("fText6")->palette().color(QPalette::Text), QColor(255, 0, 0));
    EXPECT_EQ(edit("fText6")->palette().color(QPalette::Base), QColor(255, 224, 192));
    EXPECT_EQ(edit("Text13")->palette().color(QPalette::Text), QColor(0, 255, 0));
    EXPECT_EQ(edit("Text13")->palette().color(QPalette::Base), QColor(0, 192, 192));

    const QIcon icon = frame()->windowIcon();
    EXPECT_FALSE(icon.isNull());
    EXPECT_EQ(icon.pixmap(32, 32).size(), QSize(32, 32));
}

TEST_F(Window, MenusCarryTheModelsCaptionsInOrder) {
    QStringList top;
    for (auto* a : frame()->menuBar()->actions()) top << a->text();
    EXPECT_EQ(top, QStringList({"Schedules", "Options", "About"}));
    QStringList schedules;
    for (auto* a : menu("ai_sched")->actions()) schedules << a->text();
    EXPECT_EQ(schedules, QStringList({"Download", "Upload", "Every Hour", "eXit Now!"}));
    QStringList options;
    for (auto* a : menu("ai_op")->actions()) options << a->text();
    EXPECT_EQ(options,
              QStringList({"Set Path", "Recall PASS", "Delete After DownLoad", "Delete After UpLoad",
                           "Download Timestamp", "Upload Timestamp", "File Size Exists", "Type", "Transfer type",
                           "PASV", "Quick Waits", "Verify Transfers", "Settled Files Only", "Resume Downloads",
                           "Upload Under Temporary Name", "FTPS Download", "FTPS Upload", "SFTP Download",
                           "SFTP Upload", "Parallel Connections"}));
    EXPECT_TRUE(action("ai_nlst")->isChecked());
    EXPECT_TRUE(action("ai_bin")->isChecked());
    EXPECT_FALSE(action("ai_list")->isChecked());
    EXPECT_FALSE(action("ai_hr")->isChecked());
    EXPECT_TRUE(action("ai_pasv")->isEnabled());
    EXPECT_FALSE(action("ai_pasv")->isChecked());
}

// ---- menus

TEST_F(Window, ChoosingMenuItemsChangesTicksInModelAndView) {
    choose("ai_type", "ai_list");
    EXPECT_TRUE(w().ai_list.checked());
    EXPECT_FALSE(w().ai_nlst.checked());
    EXPECT_TRUE(action("ai_list")->isChecked());
    EXPECT_FALSE(action("ai_nlst")->isChecked());
    choose("ai_type", "ai_nlst");
    EXPECT_FALSE(action("ai_list")->isChecked());
    EXPECT_TRUE(action("ai_nlst")->isChecked());

    choose("ai_trans", "ai_asc");
    EXPECT_EQ(app->s.transferType, "TYPE A");
    EXPECT_TRUE(action("ai_asc")->isChecked());
    EXPECT_FALSE(action("ai_bin")->isChecked());
    // Choosing a ticked "Binary" twice leaves it ticked.
    choose("ai_trans", "ai_bin");
    choose("ai_trans", "ai_bin");
    EXPECT_EQ(app->s.transferType, "TYPE I");
    EXPECT_TRUE(action("ai_bin")->isChecked());
    EXPECT_TRUE(w().ai_bin.checked());

    choose("ai_op", "ai_del");
    EXPECT_TRUE(app->s.deleteAfterDownload);
    EXPECT_TRUE(action("ai_del")->isChecked());
    choose("ai_op", "ai_del");
    EXPECT_FALSE(app->s.deleteAfterDownload);
    EXPECT_FALSE(action("ai_del")->isChecked());
    EXPECT_FALSE(w().ai_del.checked());

    choose("ai_sched", "ai_hr");
    EXPECT_TRUE(w().ai_hr.checked());
    EXPECT_TRUE(action("ai_hr")->isChecked());

    // "PASV" ticks passive mode on.
    choose("ai_op", "ai_pasv");
    EXPECT_TRUE(w().ai_pasv.checked());
    EXPECT_TRUE(action("ai_pasv")->isChecked());
}

TEST_F(Window, TicksAndAvailabilitySetByTheProgramShow) {
    w().ai_fsize.setChecked(true);
    EXPECT_TRUE(action("ai_fsize")->isChecked());
    w().ai_type.setEnabled(false);
    EXPECT_FALSE(action("ai_type")->isEnabled());
    w().ai_type.setEnabled(true);
    EXPECT_TRUE(action("ai_type")->isEnabled());
}

// ---- typing

TEST_F(Window, TypingRunsTheFieldRules) {
    // A space typed at the end of the host is removed at once.
    auto* host = edit("Text1");
    host->end(false);
    type(host, " ");
    EXPECT_EQ(w().Text1.text(), "ftp.gnu.org");
    EXPECT_EQ(str(host->text()), "ftp.gnu.org");
    EXPECT_EQ(host->cursorPosition(), 11);
    type(host, "x");
    EXPECT_EQ(w().Text1.text(), "ftp.gnu.orgx");
    // A space typed in front goes too; the cursor stays at the front.
    auto* path = edit("Text2");
    path->home(false);
    type(path, " ");
    EXPECT_EQ(w().Text2.text(), "/tmp");
    EXPECT_EQ(path->cursorPosition(), 0);

    // Port rule: a text that is not a number becomes "21".
    auto* port = edit("Text9");
    typeOver(port, "x");
    EXPECT_EQ(w().Text9.text(), "21");
    EXPECT_EQ(str(port->text()), "21");
    typeOver(port, "2121");
    EXPECT_EQ(w().Text9.text(), "2121");
    typeOver(port, "");
    EXPECT_EQ(str(port->text()), "21");

    // Retries rule: 5 becomes 1, 4 stays, text stays.
    auto* retries = edit("Text11");
    typeOver(retries, "5");
    EXPECT_EQ(w().Text11.text(), "1");
    EXPECT_EQ(str(retries->text()), "1");
    typeOver(retries, "4");
    EXPECT_EQ(str(retries->text()), "4");
    typeOver(edit("Text12"), "-1");
    EXPECT_EQ(w().Text12.text(), "1");

    // Anonymous rule: the password cannot be changed while the user is
    // "anonymous"; with another user it can.
    auto* pass = edit("fText4");
    typeOver(pass, "secret");
    EXPECT_EQ(w().fText4.text(), defaultAnonymousPassword);
    EXPECT_EQ(str(pass->text()), defaultAnonymousPassword);
    typeOver(edit("fText3"), "bob");
    typeOver(pass, "secret");
    EXPECT_EQ(w().fText4.text(), "secret");
    EXPECT_EQ(pass->displayText(), "******");
}

TEST_F(Window, ProgramChangesOfTheModelShowInTheWidgets) {
    w().Text1.setText("127.0.0.1");
    EXPECT_EQ(str(edit("Text1")->text()), "127.0.0.1");
    w().Text1.setEnabled(false);
    EXPECT_FALSE(edit("Text1")->isEnabled());
    w().Text13.setText("41 %");
    w().Text13.setVisible(true);
    EXPECT_TRUE(edit("Text13")->isVisible());
    EXPECT_EQ(str(edit("Text13")->text()), "41 %");
    w().setCaption("Ftp Corvantel - Idle");
    EXPECT_EQ(str(frame()->windowTitle()), "Ftp Corvantel - Idle");
    w().Label18.setCaption("Last Download on Mon 11th Mar");
    EXPECT_EQ(str(label("Label18")->text()), "Last Download on Mon 11th Mar");
    w().Check3.setChecked(false);
    EXPECT_FALSE(check("Check3")->isChecked());
    // A disabled field takes no typing.
    type(edit("Text1"), "9");
    EXPECT_EQ(w().Text1.text(), "127.0.0.1");
}

TEST_F(Window, DupeCheckBoxesMirrorIntoTheModel) {
    click(check("Check3"));
    EXPECT_FALSE(w().Check3.checked());
    EXPECT_FALSE(app->s.downloadDupeCheck);
    EXPECT_FALSE(check("Check3")->isChecked());
    click(check("Check3"));
    EXPECT_TRUE(app->s.downloadDupeCheck);
}

// ---- arming

TEST_F(Window, ArmingWithAnEmptyFieldShowsAMessageBox) {
    typeOver(edit("Text2"), "");
    EXPECT_EQ(w().Text2.text(), "");
    ASSERT_EQ(visibleMessageBox(), nullptr);
    click(check("Check1"));
    settle();
    QMessageBox* box = visibleMessageBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(str(box->text()), "One or more fields are empty or incorrect");
    EXPECT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    EXPECT_FALSE(w().Check1.checked());
    EXPECT_FALSE(check("Check1")->isChecked());
    EXPECT_EQ(str(label("Label11")->text()), w().Label11.caption());
    // The box closes with its OK button.
    click(box->button(QMessageBox::Ok));
    settle();
    EXPECT_EQ(visibleMessageBox(), nullptr);
}

TEST_F(Window, ArmingWithGoodFieldsShowsActive) {
    click(check("Check1"));
    settle();
    EXPECT_EQ(visibleMessageBox(), nullptr);
    EXPECT_TRUE(w().Check1.checked());
    EXPECT_TRUE(check("Check1")->isChecked());
    EXPECT_EQ(str(label("Label11")->text()), "1AM Active");
    // Clearing a field of the armed job disarms it without a message.
    typeOver(edit("Text7"), "");
    settle();
    EXPECT_EQ(visibleMessageBox(), nullptr);
    EXPECT_FALSE(check("Check1")->isChecked());
    EXPECT_EQ(str(label("Label11")->text()), "1AM InActive");
}

// ---- time dialog

TEST_F(Window, TimeDialogLeadsToFivePmActive) {
    click(check("Check1"));
    ASSERT_EQ(str(label("Label11")->text()), "1AM Active");
    choose("ai_sched", "ai_down");
    auto& view = window->timeDialog();
    ASSERT_TRUE(view.frame()->isVisible());
    EXPECT_EQ(str(view.frame()->windowTitle()), "Download Time");
    EXPECT_FALSE(frame()->isEnabled());
    EXPECT_EQ(view.hours()->count(), 12);
    EXPECT_EQ(str(view.hours()->itemText(0)), "1");
    EXPECT_EQ(str(view.hours()->itemText(11)), "12");
    EXPECT_EQ(str(view.halves()->itemText(1)), "PM");
    EXPECT_FALSE(view.hours()->isEditable());
    EXPECT_FALSE(view.halves()->isEditable());
    // The main window takes no input meanwhile.
    type(edit("Text1"), "z");
    EXPECT_EQ(w().Text1.text(), "ftp.gnu.org");
    EXPECT_FALSE(frame()->menuBar()->isEnabled());

    // Pick 5 and PM with the keyboard, then Enter.
    for (int i = 0; i < 4; ++i) key(view.hours(), Qt::Key_Down);
    key(view.halves(), Qt::Key_Down);
    EXPECT_EQ(app->s.downloadHour, "5");
    EXPECT_EQ(app->s.downloadAmPm, "PM");
    EXPECT_TRUE(app->form2->isOpen());
    key(view.halves(), Qt::Key_Return, "\r");
    settle();
    EXPECT_FALSE(app->form2->isOpen());
    EXPECT_FALSE(view.frame()->isVisible());
    EXPECT_TRUE(frame()->isEnabled());
    EXPECT_EQ(w().Label11.caption(), "5PM Active");
    EXPECT_EQ(str(label("Label11")->text()), "5PM Active");
}

TEST_F(Window, DoubleClickOnTheUploadLabelOpensTheUploadTime) {
    auto* l12 = label("Label12");
    doubleClick(l12, l12->rect().center());
    auto& view = window->timeDialog();
    ASSERT_TRUE(view.frame()->isVisible());
    EXPECT_EQ(str(view.frame()->windowTitle()), "Upload Time");
    EXPECT_EQ(view.hours()->currentIndex(), 0);
    // Picking with the mouse-driven list selection, then Escape.
    view.hours()->setCurrentIndex(8);
    EXPECT_EQ(app->s.uploadHour, "9");
    key(view.frame(), Qt::Key_Escape);
    EXPECT_FALSE(view.frame()->isVisible());
    EXPECT_EQ(str(l12->text()), "9AM InActive");
}

TEST_F(Window, TimeDialogCloseBoxClosesThroughTheModel) {
    choose("ai_sched", "ai_down");
    auto* f = window->timeDialog().frame();
    ASSERT_TRUE(f->isVisible());
    EXPECT_FALSE(f->close());  // the model decides, and closes it
    settle();
    EXPECT_FALSE(app->form2->isOpen());
    EXPECT_FALSE(f->isVisible());
    EXPECT_TRUE(frame()->isEnabled());
    EXPECT_EQ(str(label("Label11")->text()), "1AM InActive");
}

// ---- work path dialog

TEST_F(Window, WorkPathDialogWritesPatherLogAndLabel15) {
    choose("ai_op", "ai_path");
    auto& view = window->workPathDialog();
    ASSERT_TRUE(view.frame()->isVisible());
    EXPECT_EQ(str(view.frame()->windowTitle()), "Work Path Setting");
    EXPECT_EQ(view.frame()->size(), QSize(312, 213));
    EXPECT_FALSE(frame()->isEnabled());
    // The list: the folder, its parents and its sub-folders.
    auto* list = view.list();
    ASSERT_NE(view.itemFor("/"), nullptr);
    ASSERT_NE(view.itemFor(dir.path()), nullptr);
    ASSERT_NE(view.itemFor(dir.file("incoming")), nullptr);
    ASSERT_NE(view.itemFor(dir.file("outgoing")), nullptr);
    EXPECT_EQ(view.itemFor(dir.file("incoming/deeper")), nullptr);
    EXPECT_EQ(str(view.itemFor(dir.file("incoming"))->text(0)), "incoming");
    EXPECT_EQ(list->currentItem(), view.itemFor(dir.path()));
    EXPECT_EQ(str(view.label()->text()), dir.path());

    // A click highlights a folder and chooses it at once.
    auto* incoming = view.itemFor(dir.file("incoming"));
    click(list->viewport(), list->visualItemRect(incoming).center());
    EXPECT_EQ(app->s.workPath, dir.file("incoming"));
    EXPECT_EQ(str(view.label()->text()), dir.file("incoming"));
    EXPECT_EQ(list->currentItem(), incoming);

    // A double-click opens it: its sub-folder is listed.
    doubleClick(list->viewport(), list->visualItemRect(incoming).center());
    settle();
    EXPECT_EQ(app->form3->shownFolder(), dir.file("incoming"));
    ASSERT_NE(view.itemFor(dir.file("incoming/deeper")), nullptr);
    EXPECT_EQ(view.itemFor(dir.file("outgoing")), nullptr);
    auto* deeper = view.itemFor(dir.file("incoming/deeper"));
    click(list->viewport(), list->visualItemRect(deeper).center());
    EXPECT_EQ(str(view.label()->text()), dir.file("incoming/deeper"));

    // Escape keeps the choice.
    key(list, Qt::Key_Escape);
    settle();
    EXPECT_FALSE(view.frame()->isVisible());
    EXPECT_FALSE(app->form3->isOpen());
    EXPECT_TRUE(frame()->isEnabled());
    EXPECT_EQ(dir.read("pather.log"), dir.file("incoming/deeper") + "\r\n");
    EXPECT_EQ(str(label("Label15")->text()), "Working Path is " + dir.file("incoming/deeper"));

    // Opening again starts at the program's directory; Enter at once
    // chooses it.
    auto* l15 = label("Label15");
    doubleClick(l15, l15->rect().center());
    ASSERT_TRUE(view.frame()->isVisible());
    EXPECT_EQ(list->currentItem(), view.itemFor(dir.path()));
    key(view.frame(), Qt::Key_Enter, "\r");
    EXPECT_FALSE(view.frame()->isVisible());
    EXPECT_EQ(dir.read("pather.log"), dir.path() + "\r\n");
    EXPECT_EQ(str(l15->text()), "Working Path is " + dir.path());
}

TEST_F(Window, WorkPathListFollowsTheKeyboard) {
    choose("ai_op", "ai_path");
    auto& view = window->workPathDialog();
    auto* list = view.list();
    ASSERT_EQ(list->currentItem(), view.itemFor(dir.path()));
    key(list, Qt::Key_Down);
    EXPECT_EQ(app->s.workPath, dir.file("incoming"));
    EXPECT_EQ(str(view.label()->text()), dir.file("incoming"));
    EXPECT_FALSE(view.frame()->close());
    EXPECT_FALSE(view.frame()->isVisible());
    EXPECT_FALSE(app->form3->isOpen());
    EXPECT_EQ(dir.read("pather.log"), dir.file("incoming") + "\r\n");
}

// ---- about box

TEST_F(Window, AboutBoxShowsItsPictureAndClosesOnEnter) {
    clickOnMenuBar("ai_about");
    auto& view = window->aboutBox();
    ASSERT_TRUE(view.frame()->isVisible());
    EXPECT_EQ(str(view.frame()->windowTitle()), "About FTP V1.0b");
    EXPECT_EQ(view.frame()->size(), QSize(245, 213));
    EXPECT_FALSE(frame()->isEnabled());
    const QPixmap picture = view.picture()->pixmap();
    EXPECT_EQ(picture.size(), QSize(240, 240));
    // Its bottom is cut off by the window.
    EXPECT_GT(view.picture()->geometry().bottom(), view.frame()->rect().bottom());
    key(view.picture(), Qt::Key_Return, "\r");
    EXPECT_FALSE(view.frame()->isVisible());
    EXPECT_FALSE(app->form4->isOpen());
    EXPECT_TRUE(frame()->isEnabled());
}

TEST_F(Window, AboutOnTheMenuBarOpensTheBox) {
    ASSERT_TRUE(frame()->menuBar()->actions().contains(action("ai_about")));
    clickOnMenuBar("ai_about");
    EXPECT_TRUE(app->form4->isOpen());
    EXPECT_TRUE(window->aboutBox().frame()->isVisible());
    key(window->aboutBox().frame(), Qt::Key_Escape);
    EXPECT_FALSE(app->form4->isOpen());
}

// ---- close rule

// The close box as the window system delivers it: straight to the window,
// so that the fake platform's end of the program reaches the test.
void closeBox(QWidget* window) {
    QCloseEvent e;
    static_cast<QObject*>(window)->event(&e);
}

TEST_F(Window, CloseBoxWhileIdleEndsTheProgram) {
    ASSERT_FALSE(dir.exists("values.log"));
    EXPECT_THROW(closeBox(frame()), ProgramEnded);
    EXPECT_TRUE(app->s.shuttingDown);
    EXPECT_TRUE(dir.exists("values.log"));
    EXPECT_EQ(dir.read("pather.log"), dir.path() + "\r\n");
}

TEST_F(Window, RefusedCloseMinimisesTheWindow) {
    app->s.downloadRunning = true;
    w().setCaption("Ftp Corvantel- Connecting at 10:52:03 PM");
    ASSERT_FALSE(frame()->isMinimized());
    EXPECT_NO_THROW(closeBox(frame()));
    settle();
    EXPECT_TRUE(frame()->windowState() & Qt::WindowMinimized);
    EXPECT_FALSE(app->s.shuttingDown);
    EXPECT_FALSE(dir.exists("values.log"));
    // "eXit Now!" ends it even so.
    app->s.downloadRunning = true;
    EXPECT_THROW(w().ai_exit.userChoose(), ProgramEnded);
}

TEST_F(Window, CloseBoxIsRefusedWhileADialogIsOpen) {
    choose("ai_sched", "ai_up");
    ASSERT_TRUE(app->form2->isOpen());
    EXPECT_NO_THROW(closeBox(frame()));
    EXPECT_FALSE(app->s.shuttingDown);
    EXPECT_TRUE(app->form2->isOpen());
}

}  // namespace
}  // namespace corvantel

#include "gui/screenshots.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLinearGradient>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>

#include "app/app_state.h"
#include "program/program.h"
#include "app/dialogs.h"
#include "app/text.h"
#include "gui/artwork.h"
#include "gui/dialog_views.h"
#include "gui/look.h"
#include "gui/main_window.h"
#include "platform/qt/qt_platform.h"
#include "schedule/time_dialog.h"

namespace corvantel::gui {

namespace {

// Lets pending paint and layout events run.
void settle() {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 60) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

// An offscreen grab has no window frame; a classic one is drawn around it
// so that the caption (the program's status line) shows in the picture.
QImage framed(QWidget* window, bool dialog) {
    const QImage client = window->grab().toImage();
    const int border = 4, titleHeight = 18;
    QImage img(client.width() + 2 * border, client.height() + titleHeight + 2 * border + 1, QImage::Format_RGB32);
    img.fill(faceColour);
    QPainter p(&img);
    // Raised outer edge.
    const QRect r = img.rect();
    p.setPen(QColor(255, 255, 255));
    p.drawLine(r.left() + 1, r.top() + 1, r.right() - 1, r.top() + 1);
    p.drawLine(r.left() + 1, r.top() + 1, r.left() + 1, r.bottom() - 1);
    p.setPen(QColor(128, 128, 128));
    p.drawLine(r.right() - 1, r.top() + 1, r.right() - 1, r.bottom() - 1);
    p.drawLine(r.left() + 1, r.bottom() - 1, r.right() - 1, r.bottom() - 1);
    p.setPen(QColor(64, 64, 64));
    p.drawLine(r.right(), r.top(), r.right(), r.bottom());
    p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
    // Title bar: darker when the window is the active one (enabled).
    const QRect title(border, border, r.width() - 2 * border, titleHeight);
    QLinearGradient g(title.topLeft(), title.topRight());
    const bool active = window->isEnabled();
    g.setColorAt(0, active ? QColor(10, 36, 106) : QColor(128, 128, 128));
    g.setColorAt(1, active ? QColor(166, 202, 240) : QColor(192, 192, 192));
    p.fillRect(title, g);
    int textLeft = title.left() + 3;
    if (!dialog) {
        p.drawPixmap(title.left() + 1, title.top() + 1, windowIcon().pixmap(16, 16));
        textLeft += 18;
    }
    p.setPen(active ? Qt::white : QColor(212, 208, 200));
    p.setFont(sansFont(8.25, true));
    const int buttons = dialog ? 1 : 3;
    const QRect textRect(textLeft, title.top(), title.right() - textLeft - buttons * 16 - 4, titleHeight);
    p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
               p.fontMetrics().elidedText(window->windowTitle(), Qt::ElideRight, textRect.width()));
    // Caption buttons: minimise, maximise (greyed: fixed size), close.
    for (int i = 0; i < buttons; ++i) {
        const QRect b(title.right() - 2 - (i + 1) * 16 - (i > 0 ? 2 : 0), title.top() + 2, 16, 14);
        p.fillRect(b, faceColour);
        p.setPen(Qt::white);
        p.drawLine(b.topLeft(), b.topRight());
        p.drawLine(b.topLeft(), b.bottomLeft());
        p.setPen(QColor(64, 64, 64));
        p.drawLine(b.bottomLeft(), b.bottomRight());
        p.drawLine(b.topRight(), b.bottomRight());
        p.setPen(QPen(i == 1 ? QColor(128, 128, 128) : Qt::black, 1.6));
        const QRect c = b.adjusted(4, 3, -4, -3);
        if (i == 0) {
            p.drawLine(c.topLeft(), c.bottomRight());
            p.drawLine(c.topRight(), c.bottomLeft());
        } else if (i == 1) {
            p.drawRect(c);
        } else {
            p.drawLine(c.left(), c.bottom(), c.right() - 2, c.bottom());
        }
    }
    p.drawImage(border, border + titleHeight + 1, client);
    p.end();
    return img;
}

bool save(const QImage& img, const QString& folder, const QString& name, QStringList& written) {
    const QString path = QDir(folder).filePath(name);
    if (!img.save(path, "PNG")) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    written << name;
    return true;
}

// A menu of the menu bar opened below its title, drawn over the window
// picture; a sub-menu, when given, opened beside its item.
QImage withMenu(QMainWindow* window, const QImage& windowPicture, const char* menuName, const char* subName) {
    auto* menu = window->findChild<QMenu*>(menuName);
    if (menu == nullptr) return windowPicture;
    QMenuBar* bar = window->menuBar();
    const QRect titleRect = bar->actionGeometry(menu->menuAction());
    const QPoint below = bar->mapTo(window, titleRect.bottomLeft() + QPoint(0, 1));
    menu->popup(window->mapToGlobal(below));
    settle();
    const QImage menuPicture = menu->grab().toImage();
    QImage subPicture;
    QPoint subAt;
    if (subName != nullptr) {
        if (auto* sub = window->findChild<QMenu*>(subName)) {
            const QRect itemRect = menu->actionGeometry(sub->menuAction());
            sub->popup(menu->mapToGlobal(itemRect.topRight()));
            settle();
            subPicture = sub->grab().toImage();
            subAt = QPoint(below.x() + itemRect.right() - 2, below.y() + itemRect.top());
            sub->hide();
        }
    }
    menu->hide();
    settle();
    // The window picture has a 4-pixel frame and an 18-pixel title above
    // the client area.
    const QPoint offset(4, 4 + 18 + 1);
    const int width = std::max(windowPicture.width(), offset.x() + subAt.x() + subPicture.width() + 4);
    const int height = std::max({windowPicture.height(), offset.y() + below.y() + menuPicture.height() + 4,
                                 offset.y() + subAt.y() + subPicture.height() + 4});
    QImage img(width, height, QImage::Format_RGB32);
    img.fill(QColor(255, 255, 255));
    QPainter p(&img);
    p.drawImage(0, 0, windowPicture);
    p.drawImage(offset + below, menuPicture);
    if (!subPicture.isNull()) p.drawImage(offset + subAt, subPicture);
    p.end();
    return img;
}

}  // namespace

QStringList writeScreenshots(const QString& folder) {
    QStringList written;
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "screenshots: cannot create %s\n", qPrintable(folder));
        return {};
    }
    // The program's own files go to a scratch directory with a few folders
    // for the directory list.
    QTemporaryDir scratch(QDir::tempPath() + "/Corvantel-XXXXXX");
    if (!scratch.isValid()) return {};
    for (const char* sub : {"archive", "incoming", "outgoing"}) QDir(scratch.path()).mkpath(sub);

    platform::qt::QtPlatform platform;
    Program app(platform, scratch.path().toStdString());
    MainWindow window(app);
    app.startUp();
    window.show();
    auto* frame = window.widget();
    settle();
    bool ok = true;

    // The window icon at its own size.
    ok &= save(windowIconImage(), folder, "icon.png", written);

    // The window as it starts.
    const QImage start = framed(frame, false);
    ok &= save(start, folder, "main_window.png", written);
    ok &= save(withMenu(frame, start, "ai_sched_menu", nullptr), folder, "menu_schedules.png", written);
    ok &= save(withMenu(frame, start, "ai_op_menu", "ai_type_menu"), folder, "menu_options.png", written);

    // A message box: arming the download job with its path field empty.
    auto& w = app.w;
    const std::string path = w.Text2.text();
    w.Text2.setText("");
    w.Check1.userClick();
    settle();
    for (auto* top : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible()) {
            ok &= save(framed(box, true), folder, "message_box.png", written);
            box->close();
        }
    }
    w.Text2.setText(path);
    settle();

    // The time dialog over the disabled main window: download job armed,
    // 5 PM picked.
    w.Check1.userClick();
    w.ai_down.userChoose();
    window.timeDialog().hours()->setCurrentIndex(4);
    window.timeDialog().halves()->setCurrentIndex(1);
    settle();
    {
        const QImage main = framed(frame, false);
        const QImage dialog = framed(window.timeDialog().frame(), true);
        QImage both = main.copy();
        QPainter p(&both);
        p.drawImage(QPoint((main.width() - dialog.width()) / 2, (main.height() - dialog.height()) / 2 + 10), dialog);
        p.end();
        ok &= save(dialog, folder, "time_dialog.png", written);
        ok &= save(both, folder, "time_dialog_over_window.png", written);
    }
    app.form2->keyPress(13);
    settle();

    // The work path dialog with a sub-folder clicked.
    w.ai_path.userChoose();
    app.form3->clickFolder(scratch.path().toStdString() + "/incoming");
    settle();
    ok &= save(framed(window.workPathDialog().frame(), true), folder, "work_path_dialog.png", written);
    app.form3->keyPress(27);
    settle();

    // The about box.
    w.ai_about.userChoose();
    settle();
    ok &= save(framed(window.aboutBox().frame(), true), folder, "about_box.png", written);
    app.form4->keyPress(27);
    settle();

    // The window as a download shows it: job armed, fields locked, caption,
    // byte count and percentage of the file being fetched.
    for (auto* t : {&w.Text1, &w.fText3, &w.fText4, &w.Text2, &w.Text7, &w.Text9}) t->setEnabled(false);
    w.ai_type.setEnabled(false);
    w.setCaption("Ftp Corvantel- Downloading at 10:52:03 PM File: harbour.jpg");
    w.fText6.setText("123904");
    w.Text13.setText("41 %");
    w.Text13.setVisible(true);
    w.Label18.setCaption("Last Download on " + lastRunDateText(app.now()));
    settle();
    ok &= save(framed(frame, false), folder, "main_window_downloading.png", written);

    if (!ok) return {};
    return written;
}

int screenshotsMain(int argc, char** argv) {
    QString folder;
    bool wanted = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshots") == 0) {
            wanted = true;
            folder = i + 1 < argc ? QString::fromLocal8Bit(argv[i + 1]) : QStringLiteral("docs/screenshots");
        }
    }
    if (!wanted) return -1;
    std::unique_ptr<QCoreApplication> own;
    if (QCoreApplication::instance() == nullptr) own = makeApplication(argc, argv);
    const QStringList written = writeScreenshots(folder);
    for (const auto& name : written) std::printf("%s\n", qPrintable(QDir(folder).filePath(name)));
    return written.isEmpty() ? 1 : 0;
}

}  // namespace corvantel::gui

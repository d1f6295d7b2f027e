// A download session run from the window on the real Qt platform against a
// local FTP server (127.0.0.1): the window shows the session's caption, the
// bytes received and the percentage while it runs, and still answers the
// user's clicks and typing meanwhile.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/app_state.h"
#include "support/app_fixture.h"
#include "program/program.h"
#include "gui/main_window.h"
#include "sshd/real_sshd.h"
#include "platform/qt/qt_platform.h"
#include "schedule/schedule.h"

namespace corvantel {
namespace {

namespace fs = std::filesystem;

using testing::TempDir;

std::string randomBytes(std::size_t n, std::uint32_t seed) {
    std::string out(n, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& c : out) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

// The test FTP server on 127.0.0.1, for this test only: it ends with this
// object (and by itself when its standard input closes or after 120 s).
class FtpServer {
public:
    ~FtpServer() {
        if (proc_.state() == QProcess::NotRunning) return;
        proc_.terminate();
        if (!proc_.waitForFinished(5000)) {
            proc_.kill();
            proc_.waitForFinished(5000);
        }
    }
    ::testing::AssertionResult start(const std::string& root) {
        const fs::path script = fs::path(__FILE__).parent_path().parent_path() / "integration" / "ftp_server.py";
        if (!fs::exists(script)) return ::testing::AssertionFailure() << "no " << script;
        proc_.setProgram("/usr/bin/python3");
        proc_.setArguments({QString::fromStdString(script.string()), "--root", QString::fromStdString(root), "--user",
                            "u", "--password", "p", "--expand-wildcards", "--announce-size", "--timeout", "120"});
        proc_.start();
        if (!proc_.waitForStarted(10000)) return ::testing::AssertionFailure() << "server did not start";
        QElapsedTimer t;
        t.start();
        while (!proc_.canReadLine() && t.elapsed() < 20000 && proc_.state() == QProcess::Running)
            proc_.waitForReadyRead(500);
        const QString line = QString::fromUtf8(proc_.readLine()).trimmed();
        if (!line.startsWith("PORT "))
            return ::testing::AssertionFailure()
                   << "no PORT line: '" << line.toStdString() << "' " << proc_.readAllStandardError().toStdString();
        port_ = line.mid(5).toInt();
        return ::testing::AssertionSuccess();
    }
    int port() const { return port_; }

private:
    QProcess proc_;
    int port_ = 0;
};

void settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

void typeOver(QLineEdit* e, const QString& text) {
    e->selectAll();
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, c.toUpper().unicode(), Qt::NoModifier, QString(c));
        QApplication::sendEvent(e, &press);
    }
}

// What the window showed at one moment of the session.
struct Sample {
    QString caption;
    qint64 bytes = 0;
    bool percentVisible = false;
    QString percent;
    bool hostEnabled = true;
    bool running = false;
};

// The program and its window on the real Qt platform, shown, with the
// program's time 60 times faster: its pauses and quiet waits take a
// fraction of a second.
struct Shown {
    explicit Shown(const std::string& dir) : app(plat, dir), window(app) {
        app.startUp();
        window.show();
        settle();
    }
    QLineEdit* edit(const char* name) { return qobject_cast<QLineEdit*>(window.control(name)); }
    void fill(std::initializer_list<std::pair<const char*, QString>> fields) {
        for (const auto& [field, text] : fields) typeOver(edit(field), text);
    }
    platform::qt::QtPlatform plat{60};
    Program app;
    gui::MainWindow window;
};

TEST(GuiSession, DownloadShowsProgressWhileTheWindowAnswersClicks) {
    TempDir run, remote;
    const std::string big = randomBytes(24u << 20, 1), small = randomBytes(300000, 2);
    remote.write("big.jpg", big);
    remote.write("small.jpg", small);
    remote.write("notes.txt", "not a picture\r\n");
    FtpServer server;
    ASSERT_TRUE(server.start(remote.path()));

    Shown shown(run.path());
    auto& [plat, app, window] = shown;
    auto edit = [&](const char* name) { return shown.edit(name); };
    shown.fill({{"Text1", "127.0.0.1"}, {"fText3", "u"}, {"fText4", "p"}, {"Text2", "/"},
                {"Text9", QString::number(server.port())}});
    ASSERT_EQ(app.w.Text1.text(), "127.0.0.1");
    ASSERT_EQ(app.w.fText4.text(), "p");
    ASSERT_EQ(app.w.Text9.text(), std::to_string(server.port()));

    // Every value the counters showed, and samples of the whole window
    // taken by a timer while the session runs.
    std::vector<qint64> bytesShown;
    std::vector<QString> percentShown;
    QObject::connect(edit("fText6"), &QLineEdit::textChanged,
                     [&](const QString& t) { bytesShown.push_back(t.toLongLong()); });
    QObject::connect(edit("Text13"), &QLineEdit::textChanged, [&](const QString& t) { percentShown.push_back(t); });
    std::vector<Sample> samples;
    auto* check4 = qobject_cast<QCheckBox*>(window.control("Check4"));
    auto* retries = edit("Text12");
    ASSERT_TRUE(check4->isChecked());
    bool inputPosted = false, clickSeenWhileRunning = false, typingSeenWhileRunning = false;
    QTimer sampler;
    sampler.setInterval(5);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        Sample s;
        s.caption = window.widget()->windowTitle();
        s.bytes = edit("fText6")->text().toLongLong();
        s.percentVisible = edit("Text13")->isVisible();
        s.percent = edit("Text13")->text();
        s.hostEnabled = edit("Text1")->isEnabled();
        s.running = app.s.downloadRunning;
        samples.push_back(s);
        // Once a file is on its way, the user clicks the upload job's
        // "Dupe Chk" box and types a retry count; the events are queued
        // as the window system queues them.
        if (!inputPosted && s.running && s.caption.startsWith("Ftp Corvantel- Downloading at ")) {
            inputPosted = true;
            const QPoint at = check4->rect().center();
            for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
                QCoreApplication::postEvent(
                    check4, new QMouseEvent(type, QPointF(at), QPointF(check4->mapToGlobal(at)), Qt::LeftButton,
                                            type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                                            Qt::NoModifier));
            retries->selectAll();
            QCoreApplication::postEvent(retries, new QKeyEvent(QEvent::KeyPress, Qt::Key_3, Qt::NoModifier, "3"));
        }
        if (inputPosted && app.s.downloadRunning) {
            if (!app.w.Check4.checked() && !check4->isChecked()) clickSeenWhileRunning = true;
            if (app.w.Text12.text() == "3" && retries->text() == "3") typingSeenWhileRunning = true;
        }
    });
    sampler.start();

    bool done = false;
    app.loop.post([&] {
        startDownloadNow(app);
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 90000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    sampler.stop();
    ASSERT_TRUE(done) << "the session did not end within 90 s";

    // The files arrived whole.
    EXPECT_EQ(run.read("big.jpg").size(), big.size());
    EXPECT_TRUE(run.read("big.jpg") == big);
    EXPECT_TRUE(run.read("small.jpg") == small);
    EXPECT_FALSE(fs::exists(run.file("notes.txt")));

    // The byte counter rose through the file, up to its size.
    bool between = false;
    for (auto v : bytesShown)
        if (v > static_cast<qint64>(small.size()) && v < static_cast<qint64>(big.size())) between = true;
    EXPECT_TRUE(between) << bytesShown.size() << " counter values";
    EXPECT_NE(std::find(bytesShown.begin(), bytesShown.end(), static_cast<qint64>(big.size())), bytesShown.end());
    EXPECT_NE(std::find(bytesShown.begin(), bytesShown.end(), static_cast<qint64>(small.size())), bytesShown.end());
    // So did the percentage.
    bool partPercent = false;
    for (const auto& p : percentShown) {
        const int n = p.section(' ', 0, 0).toInt();
        if (p.endsWith(" %") && n > 0 && n < 100) partPercent = true;
    }
    EXPECT_TRUE(partPercent);
    EXPECT_NE(std::find(percentShown.begin(), percentShown.end(), QString("100 %")), percentShown.end());

    // The samples taken while the session ran: the caption named the file,
    // the fields were locked, the percentage box was shown.
    int downloading = 0, locked = 0, percentVisible = 0, midFile = 0;
    for (const auto& s : samples) {
        if (!s.running) continue;
        if (s.caption.startsWith("Ftp Corvantel- Downloading at ") && s.caption.contains(" File: ")) ++downloading;
        if (!s.hostEnabled) ++locked;
        if (s.percentVisible && s.percent.endsWith(" %")) ++percentVisible;
        if (s.bytes > 0 && s.bytes < static_cast<qint64>(big.size()) && s.bytes != static_cast<qint64>(small.size()))
            ++midFile;
    }
    EXPECT_GT(downloading, 0);
    EXPECT_GT(locked, 0);
    EXPECT_GT(percentVisible, 0);
    EXPECT_GT(midFile, 0) << "no sample of " << samples.size() << " caught the big file half-way";
    bool connecting = false;
    for (const auto& s : samples)
        if (s.caption.startsWith("Ftp Corvantel- Connecting at ")) connecting = true;
    EXPECT_TRUE(connecting);

    // The window answered while the session ran.
    EXPECT_TRUE(inputPosted);
    EXPECT_TRUE(clickSeenWhileRunning);
    EXPECT_TRUE(typingSeenWhileRunning);
    EXPECT_FALSE(app.s.uploadDupeCheck);

    // The end of the session shows.
    settle();
    EXPECT_EQ(app.w.caption(), "Ftp Corvantel - Idle");
    EXPECT_EQ(window.widget()->windowTitle().toStdString(), "Ftp Corvantel - Idle");
    EXPECT_TRUE(qobject_cast<QLabel*>(window.control("Label18"))->text().startsWith("Last Download on "));
    EXPECT_TRUE(edit("Text1")->isEnabled());
}

// An upload from the window with "Upload Under Temporary Name" ticked in
// the Options menu: the file is stored under its temporary name and renamed
// into place.
TEST(GuiSession, UploadUnderTemporaryNameFromTheMenu) {
    TempDir run, remote;
    const std::string report = randomBytes(200000, 3);
    run.write("report.txt", report);
    FtpServer server;
    ASSERT_TRUE(server.start(remote.path()));
    Shown shown(run.path());
    auto& [plat, app, window] = shown;
    shown.fill({{"Text3", "127.0.0.1"}, {"Text4", "u"}, {"Text5", "p"}, {"Text6", "/"}, {"Text8", "*.txt"},
                {"Text10", QString::number(server.port())}});
    window.menuAction("ai_utemp")->trigger();
    settle();
    ASSERT_TRUE(app.s.uploadTempName);
    EXPECT_TRUE(window.menuAction("ai_utemp")->isChecked());
    std::string sent;
    app.trace = [&](const std::string& line) { sent += line + "\n"; };
    bool done = false;
    app.loop.post([&] {
        startUploadNow(app);
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    ASSERT_TRUE(done) << "the session did not end within 60 s";
    EXPECT_TRUE(remote.read("report.txt") == report);
    EXPECT_FALSE(fs::exists(remote.file("report.txt.part")));
    EXPECT_NE(sent.find("-> STOR report.txt.part"), std::string::npos) << sent;
    EXPECT_NE(sent.find("-> RNTO report.txt"), std::string::npos) << sent;
}

// A download from the window with "SFTP Download" ticked in the Options
// menu, against OpenSSH's server: the server's key is checked against the
// known-hosts file, and the file is fetched whole.
TEST(GuiSession, SftpDownloadFromTheMenu) {
    ASSERT_TRUE(sshtest::RealSshd::installed());
    TempDir run, base;
    const fs::path remote = fs::path(base.path()) / "remote";
    fs::create_directories(remote);
    ::chmod(base.path().c_str(), 0755);
    const std::string picture = randomBytes(300000, 4);
    std::ofstream(remote / "harbour.jpg", std::ios::binary) << picture;
    sshtest::RealSshd::handOver(remote);
    sshtest::RealSshd sshd;
    ASSERT_TRUE(sshd.start(fs::path(base.path()) / "sshd", remote));
    sshd.writeKnownHosts(fs::path(base.path()) / "known_hosts");
    Shown shown(run.path());
    auto& [plat, app, window] = shown;
    shown.fill({{"Text1", "127.0.0.1"}, {"fText3", QString::fromStdString(sshtest::RealSshd::user())},
                {"fText4", QString::fromStdString(sshtest::RealSshd::password())}, {"Text2", "."},
                {"Text7", "*.jpg"}, {"Text9", QString::number(sshd.port())}});
    window.menuAction("ai_dsftp")->trigger();
    settle();
    ASSERT_TRUE(app.s.downloadSftp);
    EXPECT_TRUE(window.menuAction("ai_dsftp")->isChecked());
    // (As --known-hosts gives it.)
    app.s.knownHostsFiles = {(fs::path(base.path()) / "known_hosts").string()};
    bool done = false;
    app.loop.post([&] {
        startDownloadNow(app);
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 60000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    ASSERT_TRUE(done) << "the session did not end within 60 s";
    EXPECT_TRUE(run.read("harbour.jpg") == picture);
    EXPECT_NE(run.read("dl_file_size.log").find("pass"), std::string::npos);
}

}  // namespace
}  // namespace corvantel

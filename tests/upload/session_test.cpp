// Whole upload sessions on the fake platform against the scripted server.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "app/app_state.h"
#include "platform/files.h"
#include "schedule/schedule.h"
#include "upload/dispatch.h"
#include "upload/session.h"
#include "support/app_fixture.h"
#include "support/fake_ftp_server.h"

namespace corvantel::testing {
namespace {

class UploadSession : public AppTest {
protected:
    void SetUp() override {
        dir.write("x.txt", "");
        dir.write("y.txt", std::string(5000, 'y'));
        dir.write("z.txt", std::string(2 * 1024 * 1024 + 7, 'z'));
        dir.write("e.txt", std::string(4000, 'e'));  // an exact multiple of the piece size
        dir.write("w.jpg", "picture");
        start();
        fillJobs();
        w().Text8.setText("*.txt");
    }
    void run() {
        if (std::getenv("TEST_TRACE")) app().trace = [](const std::string& l) { fprintf(stderr, "%s\n", l.c_str()); };
        startUploadNow(app());
    }

    FakeFtpServer server{plat};
};

TEST_F(UploadSession, StoresMatchingFilesAndConfirmsEach) {
    run();
    ASSERT_EQ(server.stored.size(), 4u);
    EXPECT_EQ(server.stored["x.txt"], "");
    EXPECT_EQ(server.stored["y.txt"], dir.read("y.txt"));
    EXPECT_EQ(server.stored["z.txt"], dir.read("z.txt"));
    EXPECT_EQ(server.stored["e.txt"], dir.read("e.txt"));
    EXPECT_EQ(dir.read("fileupl1.log"), "e.txt\r\nx.txt\r\ny.txt\r\nz.txt\r\n");
    std::string log = dir.read("fileupl.log");
    EXPECT_NE(log.find("y.txt          5000         pass\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("x.txt          0            pass\r\n"), std::string::npos) << log;
    EXPECT_EQ(s().failedFiles, 0);
    EXPECT_EQ(w().caption(), "Ftp Corvantel - Idle");
    EXPECT_EQ(w().Label19.caption(), "Last Upload on Mon 7th Dec");

    // A second run finds every name recorded and sends nothing.
    server.stored.clear();
    run();
    EXPECT_TRUE(server.stored.empty());
}

// Against servers that refuse commands sent while a store runs (and send a
// second preliminary reply), the next file's commands wait for the store's
// final reply, and every file passes.
TEST_F(UploadSession, NextFileWaitsForTheStoresFinalReply) {
    server.refuseDuringStore = true;
    server.twoPreliminaries = true;
    run();
    EXPECT_EQ(server.commandsDuringStore, 0);
    EXPECT_EQ(server.stored.size(), 4u);
    EXPECT_EQ(s().failedFiles, 0) << dir.read("fileupl.log");
}

// Only a file the download job is fetching now is passed over: a local
// file whose name happens to be one the download job once used as a state
// ("notdone", "done") is sent like any other.
TEST_F(UploadSession, NoLocalNameIsTakenForTheDownloadsState) {
    dir.write("notdone", "a");
    dir.write("done", "b");
    w().Text8.setText("*done");
    run();
    EXPECT_EQ(server.stored["notdone"], "a");
    EXPECT_EQ(server.stored["done"], "b");
}

TEST_F(UploadSession, DeletesLocalFilesOnlyAfterTheServerConfirmed) {
    w().ai_del2.userChoose();
    run();
    EXPECT_FALSE(dir.exists("y.txt"));
    EXPECT_FALSE(dir.exists("z.txt"));
    EXPECT_TRUE(dir.exists("w.jpg"));
    EXPECT_EQ(server.stored.size(), 4u);
}

TEST_F(UploadSession, RefusedStoreKeepsEveryFileAndLogsFail) {
    w().ai_del2.userChoose();
    server.refuseStor = true;
    run();
    EXPECT_TRUE(dir.exists("y.txt"));
    EXPECT_TRUE(dir.exists("x.txt"));
    EXPECT_TRUE(dir.exists("z.txt"));
    EXPECT_TRUE(dir.exists("x.txt"));
    EXPECT_FALSE(dir.exists("fileupl1.log"));
    std::string log = dir.read("fileupl.log");
    EXPECT_EQ(log.find("pass"), std::string::npos) << log;
    EXPECT_NE(log.find("y.txt          5000         fail"), std::string::npos) << log;
    EXPECT_GT(s().failedFiles, 0);
}

TEST_F(UploadSession, StoreRefusedWhileDataFlowsStopsTheFileAndGoesOn) {
    // A server that opens the data connection on PORT and then refuses the
    // store: each file fails on the refusal itself, not by the watchdog.
    w().ai_del2.userChoose();
    server.refuseStor = true;
    server.connectAtPort = true;
    const auto started = plat.nowMs();
    run();
    EXPECT_LT(plat.nowMs() - started, 120'000);
    EXPECT_FALSE(dir.exists("err_upload.log"));
    std::string log = dir.read("fileupl.log");
    for (const char* name : {"e.txt", "x.txt", "y.txt", "z.txt"}) {
        EXPECT_TRUE(dir.exists(name)) << name;
        EXPECT_NE(log.find(std::string(name) + "    "), std::string::npos) << name << "\n" << log;
    }
    EXPECT_EQ(log.find("pass"), std::string::npos) << log;
}

TEST_F(UploadSession, TimestampGoesOnTheRemoteNameOnly) {
    w().ai_ustamp.userChoose();
    run();
    EXPECT_EQ(server.stored.count("20261207_y.txt"), 1u);
    EXPECT_NE(dir.read("fileupl.log").find(" y.txt "), std::string::npos);
}

// A local file whose name would smuggle a command into STOR is not sent: it
// gets a "fail" line (its line breaks shown as "?") and the others go on.
// No command holding a CR, LF or NUL leaves the program.
TEST_F(UploadSession, NameWithALineBreakIsNeverSent) {
    dir.write("x\r\nDELE victim.txt", "evil");
    bool refused = false;
    server.override = [&](const std::string& line) {
        if (line.rfind("STOR ", 0) == 0 && !refused) refused = !uploadSession(app()).send("NOOP\r\nDELE victim.txt");
        return std::string();
    };
    run();
    EXPECT_TRUE(refused);
    for (auto& c : server.commands) EXPECT_EQ(c.find("victim"), std::string::npos) << c;
    EXPECT_EQ(server.stored.size(), 4u);
    EXPECT_EQ(s().failedFiles, 1);
    const std::string log = dir.read("fileupl.log");
    const std::size_t at = log.find("x??DELE victim.txt ");
    ASSERT_NE(at, std::string::npos) << log;
    const std::string line = log.substr(at, log.find("\r\n", at) - at);
    EXPECT_EQ(line.substr(line.size() - 4), "fail") << log;
    EXPECT_TRUE(dir.exists("x\r\nDELE victim.txt"));
}

// Links planted in the working directory are never followed: one listed
// under a matching name is not a file to send, and a file swapped for a
// link (or a FIFO) after the listing fails without being read.
TEST_F(UploadSession, PlantedLinksAreNeverSent) {
    TempDir elsewhere;
    elsewhere.write("secret", "password=hunter2");
    ASSERT_EQ(::symlink(elsewhere.file("secret").c_str(), dir.file("link.txt").c_str()), 0);
    server.override = [&](const std::string& line) {
        // After the listing, before those files' turn.
        if (line == "STOR e.txt") {
            if (dir.exists("y.txt") && !std::filesystem::is_symlink(dir.file("y.txt"))) {
                std::filesystem::remove(dir.file("y.txt"));
                EXPECT_EQ(::symlink(elsewhere.file("secret").c_str(), dir.file("y.txt").c_str()), 0);
            }
            if (std::filesystem::is_regular_file(dir.file("x.txt"))) {
                std::filesystem::remove(dir.file("x.txt"));
                EXPECT_EQ(::mkfifo(dir.file("x.txt").c_str(), 0600), 0);
            }
        }
        return std::string();
    };
    std::map<std::string, std::string> reasons;
    app().events.fileJudged = [&](const FileVerdict& v) { reasons[v.name] = v.reason; };
    run();
    EXPECT_EQ(reasons["y.txt"], "local file is a symbolic link");
    EXPECT_EQ(reasons["x.txt"], "local file is not a regular file");
    EXPECT_FALSE(s().uploadRunning);
    for (auto& [name, content] : server.stored) EXPECT_EQ(content.find("hunter2"), std::string::npos) << name;
    EXPECT_EQ(server.stored.count("link.txt"), 0u);
    EXPECT_EQ(server.stored.count("y.txt"), 0u);
    EXPECT_EQ(server.stored.count("x.txt"), 0u);
    EXPECT_EQ(server.stored["z.txt"], dir.read("z.txt"));
    const std::string log = dir.read("fileupl.log");
    EXPECT_EQ(log.find("link.txt"), std::string::npos) << log;
    EXPECT_EQ(verdictOf(log, "y.txt"), "fail") << log;
    EXPECT_EQ(verdictOf(log, "x.txt"), "fail") << log;
    EXPECT_EQ(s().failedFiles, 2);
}

// Verified uploads: a stored file passes, and is deleted, only when the
// server's SIZE and checksum match; otherwise it fails and stays.
TEST_F(UploadSession, VerifiedByTheServerTable) {
    struct Case {
        std::vector<std::string> features;
        std::size_t storeDrops;
        bool checksumLie;
        const char* verdict;  // of y.txt, z.txt and e.txt
        std::vector<std::string> sent;
        bool unverified;
        const char* reason;  // y.txt's failure reason, as a front-end is told it
    } cases[] = {
        {{"SIZE", "XSHA256", "XMD5"}, 0, false, "pass", {"SIZE y.txt", "XSHA256 z.txt"}, false, ""},
        {{"SIZE", "HASH SHA-1*;SHA-256"}, 0, false, "pass", {"OPTS HASH SHA-256", "HASH e.txt"}, false, ""},
        {{"SIZE"}, 1, false, "fail", {"SIZE z.txt"}, false, "size differs on the server: 2999 bytes stored, 3000 sent"},
        {{"XCRC"}, 0, true, "fail", {"XCRC y.txt"}, false, "checksum mismatch"},
        {{}, 0, false, "pass", {"FEAT"}, true, ""},
    };
    std::string reason;
    app().events.fileJudged = [&](const FileVerdict& v) {
        if (v.name == "y.txt") reason = v.reason;
    };
    w().ai_verify.onChoose();
    w().ai_del2.onChoose();
    s().uploadDupeCheck = false;
    for (auto& c : cases) {
        server.features = c.features;
        server.storeDrops = c.storeDrops;
        server.checksumLie = c.checksumLie;
        server.commands.clear();
        for (auto* f : {"err_upload.log", "fileupl.log"}) std::filesystem::remove(dir.file(f));
        for (auto* f : {"y.txt", "z.txt", "e.txt"}) dir.write(f, std::string(3000, f[0]));
        reason = "?";
        run();
        EXPECT_EQ(reason, c.reason);
        const std::string log = dir.read("fileupl.log");
        for (auto* f : {"y.txt", "z.txt", "e.txt"}) {
            EXPECT_EQ(verdictOf(log, f), c.verdict) << log;
            EXPECT_EQ(dir.exists(f), std::string(c.verdict) == "fail") << f;
        }
        for (auto& cmd : c.sent)
            EXPECT_NE(std::find(server.commands.begin(), server.commands.end(), cmd), server.commands.end()) << cmd;
        EXPECT_EQ(dir.read("err_upload.log").find("Not Verified") != std::string::npos, c.unverified);
    }
}

// Settled files only: a file written a moment ago, or growing since the
// listing, is passed over without a line and never deleted; a file written
// while it is sent fails and stays, whatever the options.
TEST_F(UploadSession, FilesStillBeingWrittenAreNeverDeleted) {
    const auto now = static_cast<std::time_t>(plat.clock().utcSeconds());
    auto age = [&](const char* name, std::time_t seconds) {
        struct timespec times[2] = {{now - seconds, 0}, {now - seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.file(name).c_str(), times, 0), 0);
    };
    for (auto* f : {"x.txt", "y.txt", "z.txt", "e.txt"}) age(f, 3600);
    age("y.txt", 5);
    // x.txt grows after the listing, z.txt while it is stored.
    server.override = [&](const std::string& line) {
        for (auto* f : {"x.txt", "z.txt"})
            if (line == (f[0] == 'x' ? "STOR e.txt" : "STOR z.txt")) {
                platform::files::append(dir.file(f), "more");
                age(f, 3600);
            }
        return std::string();
    };
    s().settleChoice = 60;
    w().ai_settle.onChoose();
    w().ai_del2.onChoose();
    run();
    const std::string log = dir.read("fileupl.log");
    EXPECT_EQ(log.find("y.txt"), std::string::npos) << log;
    EXPECT_EQ(log.find("x.txt"), std::string::npos) << log;
    EXPECT_EQ(verdictOf(log, "z.txt"), "fail") << log;
    EXPECT_EQ(verdictOf(log, "e.txt"), "pass") << log;
    EXPECT_TRUE(dir.exists("y.txt"));
    EXPECT_TRUE(dir.exists("z.txt"));
    EXPECT_FALSE(dir.exists("e.txt"));
    EXPECT_EQ(server.stored.count("y.txt"), 0u);
}

}  // namespace
}  // namespace corvantel::testing

// Download sessions against servers and options that change the road.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ostream>

#include "app/app_state.h"
#include "download/records.h"
#include "platform/files.h"
#include "schedule/schedule.h"
#include "support/app_fixture.h"
#include "support/fake_ftp_server.h"

namespace corvantel::testing {
namespace {

class DownloadVariants : public AppTest {
protected:
    void SetUp() override {
        server.files["a.jpg"] = std::string(3000, 'a');
        server.files["b.jpg"] = std::string(1200, 'b');
        server.files["c.txt"] = "text";
        start();
        fillJobs();
    }
    void run() {
        if (std::getenv("TEST_TRACE"))
            app().trace = [](const std::string& l) { std::fprintf(stderr, "%s\n", l.c_str()); };
        startDownloadNow(app());
    }
    std::string log() { return dir.read("dl_file_size.log"); }

    FakeFtpServer server{plat};
};

TEST_F(DownloadVariants, ListModeParsesLongListing) {
    w().ai_list.userChoose();
    run();
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
    EXPECT_FALSE(dir.exists("c.txt"));
    ASSERT_FALSE(server.commands.empty());
    EXPECT_NE(std::find(server.commands.begin(), server.commands.end(), "LIST *.jpg *.JPG"), server.commands.end());
}

TEST_F(DownloadVariants, DuplicateCheckSurvivesARestart) {
    run();
    ASSERT_TRUE(dir.exists("a.jpg"));
    std::remove(dir.file("a.jpg").c_str());
    // A new program in the same directory reads the names back.
    app_.reset();
    start();
    w().Text1.setText("127.0.0.1");
    w().fText3.setText("u");
    w().fText4.setText("p");
    w().Text7.setText("*.jpg");
    EXPECT_EQ(downloadSessions(app()).downloadedNames.size(), 2u);
    EXPECT_TRUE(downloadSessions(app()).downloadedNames.contains("a.jpg") && downloadSessions(app()).downloadedNames.contains("b.jpg"));
    run();
    EXPECT_FALSE(dir.exists("a.jpg"));
    // With the check off the files come again.
    w().Check3.userClick();
    run();
    EXPECT_TRUE(dir.exists("a.jpg"));
}

TEST_F(DownloadVariants, TimestampOnLocalNames) {
    w().ai_dstamp.userChoose();
    run();
    EXPECT_EQ(dir.read("20261207_a.jpg"), server.files["a.jpg"]);
    EXPECT_NE(log().find(" a.jpg "), std::string::npos);
}

TEST_F(DownloadVariants, DeleteAfterDownloadRemovesOnlyPassedFiles) {
    w().ai_del.userChoose();
    run();
    EXPECT_EQ(server.files.count("a.jpg"), 0u);
    EXPECT_EQ(server.files.count("b.jpg"), 0u);
    EXPECT_EQ(server.files.count("c.txt"), 1u);
    int deletes = 0;
    for (auto& c : server.commands) deletes += c.rfind("DELE ", 0) == 0;
    EXPECT_EQ(deletes, 2);
}

TEST_F(DownloadVariants, ShortFileFailsAndIsNotDeleted) {
    w().ai_del.userChoose();
    // The server announces more than it sends for b.jpg.
    server.override = server.retrAs("b.jpg", {"150 Opening BINARY mode data connection for b.jpg (5000 bytes).",
                                              std::string(1200, 'b'), false, "226 Transfer complete."});
    run();
    EXPECT_NE(log().find("b.jpg         5000          fail"), std::string::npos) << log();
    EXPECT_EQ(server.files.count("b.jpg"), 1u);
    EXPECT_EQ(server.files.count("a.jpg"), 0u);
    EXPECT_EQ(dir.read("filename2.log"), "a.jpg\r\n");
    EXPECT_EQ(s().failedFiles, 1);
}

TEST_F(DownloadVariants, FailedDownloadKeepsTheGoodFileItWouldReplace) {
    w().Check3.userClick();  // no duplicate check: b.jpg is fetched again
    dir.write("b.jpg", "the good copy");
    server.override = server.retrAs("b.jpg", {"150 Opening BINARY mode data connection for b.jpg (5000 bytes).",
                                              std::string(1200, 'b'), false, "226 Transfer complete."});
    run();
    EXPECT_EQ(dir.read("b.jpg"), "the good copy");
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    // Nothing half-written is left behind.
    auto names = platform::files::listFiles(dir.path(), "*");
    for (auto& n : names) EXPECT_EQ(n.find("part"), std::string::npos) << n;
    EXPECT_EQ(platform::files::listFiles(dir.path(), ".*").size(), 0u);
}

TEST_F(DownloadVariants, TransferEndedByServerErrorFailsAndIsNotDeleted) {
    w().ai_del.userChoose();
    server.announceSize = false;
    server.override = server.retrAs(
        "a.jpg", {"125 Transfer starting.", std::string(100, 'a'), false, "426 Connection closed; transfer aborted."});
    run();
    EXPECT_NE(log().find("a.jpg         Unknown File Size"), std::string::npos) << log();
    EXPECT_EQ(server.files.count("a.jpg"), 1u);
    EXPECT_EQ(server.files.count("b.jpg"), 0u);
}

TEST_F(DownloadVariants, RefusedLoginEndsWithInvalidUserPass) {
    w().fText4.setText("wrong");
    run();
    EXPECT_EQ(w().Label11.caption(), "1AM Login Failed");
    EXPECT_NE(dir.read("err_dload.log").find("Invalid User/Pass 2026/12/07 at "), std::string::npos);
    EXPECT_EQ(w().caption(), "Ftp Corvantel - Idle");
    EXPECT_EQ(s().failedSessions, 1);
    EXPECT_FALSE(dir.exists("a.jpg"));
}

TEST_F(DownloadVariants, MissingRemoteDirectoryListsTheCurrentOne) {
    w().Text2.setText("/missing");
    run();
    EXPECT_TRUE(dir.exists("a.jpg"));
    EXPECT_EQ(std::count(server.commands.begin(), server.commands.end(), "PWD"), 0);
}

TEST_F(DownloadVariants, EmptyListingEndsQuietly) {
    w().Text7.setText("*.png");
    run();
    EXPECT_FALSE(dir.exists("dl_file_size.log"));
    EXPECT_EQ(w().caption(), "Ftp Corvantel - Idle");
    EXPECT_EQ(s().failedSessions, 0);
    EXPECT_EQ(s().completedDownloadSessions, 1);
}

TEST_F(DownloadVariants, NamesThatWouldLeaveTheWorkingDirectoryAreNotFetched) {
    server.expandWildcards = false;
    w().Text7.setText("");
    server.files.clear();
    server.files["../evil.jpg"] = "x";
    server.files["up/../../evil.jpg"] = "x";
    server.files[".."] = "x";
    server.files["ok.jpg"] = "fine";
    run();
    EXPECT_EQ(dir.read("ok.jpg"), "fine");
    std::string l = log();
    // A hidden name is passed over; one that names a folder fails.
    EXPECT_NE(l.find("up/../../evil.jpg           Unknown File Size           fail"), std::string::npos) << l;
    EXPECT_EQ(l.find(" ../evil.jpg"), std::string::npos) << l;
    for (auto& c : server.commands) EXPECT_EQ(c.find("evil"), std::string::npos) << c;
}

TEST_F(DownloadVariants, AnUnwritableLocalFileFailsAndTheSessionGoesOn) {
    w().ai_del.userChoose();
    ::mkdir(dir.file("a.jpg").c_str(), 0755);  // a directory where the file should go
    run();
    EXPECT_NE(log().find("a.jpg         3000          fail"), std::string::npos) << log();
    EXPECT_EQ(server.files.count("a.jpg"), 1u);
    EXPECT_EQ(dir.read("b.jpg"), std::string(1200, 'b'));
    EXPECT_EQ(server.files.count("b.jpg"), 0u);
}

TEST_F(DownloadVariants, RetrRefusedFailsTheFileAndGoesOn) {
    server.override = [](const std::string& line) -> std::string {
        return line == "RETR a.jpg" ? "550 Permission denied." : "";
    };
    run();
    EXPECT_NE(log().find("a.jpg         Unknown File Size           fail"), std::string::npos) << log();
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
}

TEST_F(DownloadVariants, HugeAnnouncedSizeIsKeptAs64Bits) {
    server.override = server.retrAs("a.jpg", {"150 Opening data connection for a.jpg (3000000000 bytes).",
                                              std::string(10, 'a'), false, "226 Transfer complete."});
    run();
    EXPECT_NE(log().find("a.jpg         3000000000    fail"), std::string::npos) << log();
}

// With quick waits, a listing whose 150 and 226 come before its data
// connection has opened is over only once that connection has opened and
// closed: its names are all fetched.
TEST_F(DownloadVariants, QuickListingWaitsForItsLateDataConnection) {
    s().quickWaits = true;
    server.listingConnectsLate = true;
    run();
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
}

// Servers of every legal shape: the files pass and the session does not fail.
struct LegalShape {
    const char* what;
    std::function<void(FakeFtpServer&)> shape;
};
void PrintTo(const LegalShape& shape, std::ostream* os) { *os << shape.what; }
class LegalServerShapes : public DownloadVariants, public ::testing::WithParamInterface<LegalShape> {};

TEST_P(LegalServerShapes, PassWithoutAFailedSession) {
    GetParam().shape(server);
    run();
    EXPECT_TRUE(dir.read("a.jpg") == server.files["a.jpg"] && dir.read("b.jpg") == server.files["b.jpg"]) << log();
    EXPECT_EQ(s().failedSessions, 0) << dir.read("err_dload.log");
}

using Shape = FakeFtpServer::Shape;
INSTANTIATE_TEST_SUITE_P(
    Download, LegalServerShapes,
    ::testing::Values(
        // The control connection closed right after the last transfer's
        // final reply: every file was proven already.
        LegalShape{"CloseAfterLast",
                   [](FakeFtpServer& f) {
                       f.shaping = [](const std::string& line, Shape& sh) {
                           if (line == "RETR b.jpg") sh.control = Shape::Control::CloseAfter;
                       };
                   }},
        // A login judged by its code, whatever words its text holds.
        LegalShape{"LoginTextWithRefusalWords",
                   [](FakeFtpServer& f) { f.loginText = "230-Access denied to nothing.\r\n230 0 invalid attempts, 530 left."; }},
        // USER answered 230 at once: no password is wanted.
        LegalShape{"UserLoggedInAtOnce",
                   [](FakeFtpServer& f) { f.userLogsIn = true; }}),
    [](const ::testing::TestParamInfo<LegalShape>& i) { return std::string(i.param.what); });

}  // namespace
}  // namespace corvantel::testing

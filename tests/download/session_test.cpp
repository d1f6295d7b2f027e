// Whole download sessions on the fake platform against the scripted server.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "app/app_state.h"
#include "download/records.h"
#include "schedule/schedule.h"
#include "support/app_fixture.h"
#include "support/fake_ftp_server.h"

namespace corvantel::testing {
namespace {

class DownloadSession : public AppTest {
protected:
    void SetUp() override {
        server.files["a.jpg"] = std::string(5000, 'a');
        server.files["b.jpg"] = std::string(2500, 'b');
        server.files["c.txt"] = "text";
        start();
        fillJobs();
    }
    void run() { startDownloadNow(app()); }

    FakeFtpServer server{plat};
};

TEST_F(DownloadSession, FetchesMatchingFilesAndRecordsThem) {
    run();
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
    EXPECT_FALSE(dir.exists("c.txt"));
    EXPECT_EQ(dir.read("filename2.log"), "a.jpg\r\nb.jpg\r\n");
    std::string log = dir.read("dl_file_size.log");
    EXPECT_NE(log.find("a.jpg         5000          pass\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("b.jpg         2500          pass\r\n"), std::string::npos) << log;
    EXPECT_EQ(w().caption(), "Ftp Corvantel - Idle");
    EXPECT_EQ(w().Label18.caption(), "Last Download on Mon 7th Dec");
    EXPECT_FALSE(s().downloadRunning);
    EXPECT_EQ(s().failedFiles, 0);
}

TEST_F(DownloadSession, ServerWithoutSizesAndEarlyDataConnection) {
    server.announceSize = false;
    server.connectAtPort = true;
    run();
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
}

TEST_F(DownloadSession, RepliesArrivingTogetherAreEachHandled) {
    server.repliesTogether = true;
    server.multiLineGreeting = true;
    run();
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
    EXPECT_EQ(s().failedFiles, 0);
}

// No command holding a CR, LF or NUL leaves the program.
TEST_F(DownloadSession, CommandWithALineBreakIsNeverSent) {
    std::vector<bool> sent;
    server.override = [&](const std::string& line) {
        if (line.rfind("RETR ", 0) == 0 && sent.empty())
            for (const std::string& bad : {std::string("NOOP\r\nDELE a.jpg"), std::string("NOOP\nDELE a.jpg"),
                                           std::string("DELE a.jpg\0x", 12)})
                sent.push_back(app().sendDownloadHook(bad));
        return std::string();
    };
    run();
    EXPECT_EQ(sent, (std::vector<bool>{false, false, false}));
    for (auto& c : server.commands) EXPECT_EQ(c.find("DELE"), std::string::npos) << c;
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    EXPECT_EQ(s().failedFiles, 0);
}

// Links planted in the working directory: under the name of a file to
// fetch, and under the old fixed name of its partial file. Neither is
// written through, the link is not replaced, and that file fails.
TEST_F(DownloadSession, PlantedLinksAreNeitherWrittenThroughNorReplaced) {
    dir.write("victim", "kept");
    ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file("a.jpg").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file(".b.jpg.corvantel-part").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("filename2.log").c_str(), 0600), 0);
    std::vector<std::string> refused;
    platform::files::setRefusalSink([&](const std::string& text) { refused.push_back(text); });
    run();
    platform::files::setRefusalSink(nullptr);
    EXPECT_EQ(dir.read("victim"), "kept");
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("a.jpg")));
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
    const std::string log = dir.read("dl_file_size.log");
    EXPECT_NE(log.find("a.jpg         5000          fail\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("b.jpg         2500          pass\r\n"), std::string::npos) << log;
    EXPECT_EQ(s().failedFiles, 1);
    // The log that is a FIFO is refused, not waited on: the session ended.
    EXPECT_FALSE(s().downloadRunning);
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_NE(refused[0].find("a.jpg': it is a symbolic link"), std::string::npos) << refused[0];
    EXPECT_NE(refused[1].find("filename2.log': it is not a regular file"), std::string::npos) << refused[1];
    // No partial file is left behind; the planted link is left as it was.
    for (auto& e : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = e.path().filename().string();
        if (name != ".b.jpg.corvantel-part") EXPECT_EQ(name.find(".corvantel-part"), std::string::npos) << name;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file(".b.jpg.corvantel-part")));
}

}  // namespace
}  // namespace corvantel::testing

// Whole download sessions on the fake platform against the scripted server.

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace corvantel::testing

// The close rule: refused (minimised) while a session runs, unless the
// caption is idle or "eXit Now!" was chosen.

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "schedule/schedule.h"
#include "support/app_fixture.h"
#include "support/fake_ftp_server.h"

namespace corvantel::testing {
namespace {

using platform::fake::ProgramEnded;

class CloseRule : public AppTest {
protected:
    void SetUp() override {
        server.files["a.jpg"] = "aaaa";
        start();
        w().Text1.setText("127.0.0.1");
        w().fText3.setText("u");
        w().fText4.setText("p");
        w().Text7.setText("*.jpg");
    }
    FakeFtpServer server{plat};
};

TEST_F(CloseRule, RefusedWhileASessionRunsAndTheSessionGoesOn) {
    bool triedDuringSession = false;
    server.override = [&](const std::string& line) -> std::string {
        if (line.rfind("RETR", 0) == 0 && !triedDuringSession) {
            triedDuringSession = true;
            plat.post([&] { w().userClose(); });
        }
        return "";
    };
    EXPECT_NO_THROW(startDownloadNow(app()));
    EXPECT_TRUE(triedDuringSession);
    EXPECT_EQ(minimised, 1);
    EXPECT_FALSE(s().shuttingDown);
    EXPECT_EQ(dir.read("a.jpg"), "aaaa");
    // Idle again: the close goes through and writes the program's files.
    std::remove(dir.file("pather.log").c_str());
    EXPECT_THROW(w().userClose(), ProgramEnded);
    EXPECT_TRUE(dir.exists("pather.log"));
    EXPECT_TRUE(dir.exists("values.log"));
}

TEST_F(CloseRule, IdleCaptionLetsTheCloseThroughEvenWithARunningFlag) {
    s().downloadRunning = true;
    w().setCaption("Ftp Corvantel - Idle");
    EXPECT_THROW(w().userClose(), ProgramEnded);
}

TEST_F(CloseRule, ExitNowEndsARunningSessionWithoutItsBookkeeping) {
    server.override = [&](const std::string& line) -> std::string {
        if (line.rfind("RETR", 0) == 0) plat.post([&] { w().ai_exit.userChoose(); });
        return "";
    };
    try {
        startDownloadNow(app());
        FAIL() << "the program should have ended";
    } catch (const ProgramEnded& e) {
        EXPECT_EQ(e.status, 0);
    }
    EXPECT_TRUE(s().shuttingDown);
    EXPECT_FALSE(dir.exists("dl_file_size.log"));
    EXPECT_EQ(w().Label18.caption(), "Last Download on");
    EXPECT_EQ(w().ftpclient1->state(), platform::Endpoint::Closed);
    EXPECT_EQ(w().ftpclient2->state(), platform::Endpoint::Closed);
}

}  // namespace
}  // namespace corvantel::testing

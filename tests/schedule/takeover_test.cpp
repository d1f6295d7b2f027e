// Failing sessions: the error log, the watchdog's take-over and the retries.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "app/app_state.h"
#include "schedule/schedule.h"
#include "support/app_fixture.h"
#include "support/fake_ftp_server.h"

namespace corvantel::testing {
namespace {

class Takeover : public AppTest {
protected:
    void SetUp() override {
        server.files["a.jpg"] = std::string(3000, 'a');
        server.files["b.jpg"] = std::string(2000, 'b');
        start();
        fillJobs();
        dir.write("y.txt", std::string(5000, 'y'));
    }
    int count(const std::string& prefix) const {
        return static_cast<int>(std::count_if(server.commands.begin(), server.commands.end(),
                                              [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
    }
    std::string errors() { return dir.read("err_dload.log"); }
    void trace() {
        if (std::getenv("TEST_TRACE"))
            app().trace = [](const std::string& l) { std::fprintf(stderr, "%s\n", l.c_str()); };
    }
    FakeFtpServer server{plat};
};

TEST_F(Takeover, HostNotFound) {
    w().Text1.setText("no-such-host.invalid");
    startDownloadNow(app());
    EXPECT_EQ(w().Label11.caption(), "1AMTimeout");
    EXPECT_EQ(errors().substr(0, 27), "Invalid IP/Host 2026/12/07 ");
    EXPECT_EQ(errors().substr(errors().size() - 5), " AM\r\n");
    EXPECT_EQ(w().caption(), "Ftp Corvantel - Idle");
    EXPECT_NE(w().Label18.caption(), "Last Download on");
    EXPECT_EQ(app().outcomeStatus(), 1);
}

TEST_F(Takeover, ConnectionRefusedIsATimeoutError) {
    w().Text9.setText("2121");
    startDownloadNow(app());
    EXPECT_EQ(w().Label11.caption(), "1AMTimeout");
    EXPECT_EQ(errors().rfind("Timeout Error ", 0), 0u);
}

TEST_F(Takeover, SilentServerIsTakenOverByTheWatchdog) {
    server.override = [](const std::string& line) -> std::string { return line == "PWD" ? "-" : ""; };
    const auto started = plat.nowMs();
    startDownloadNow(app());
    const auto took = plat.nowMs() - started;
    EXPECT_GT(took, 200'000);
    EXPECT_LT(took, 260'000);
    EXPECT_EQ(w().Label11.caption(), "1AMTimeout");
    // The take-over is logged once, as such, and nothing claims a bad password.
    EXPECT_EQ(errors().rfind("Unknown Error ", 0), 0u) << errors();
    EXPECT_EQ(errors().find("Invalid User/Pass"), std::string::npos);
    EXPECT_EQ(w().caption(), "Ftp Corvantel - Idle");
    EXPECT_FALSE(s().sessionAborting);
    EXPECT_FALSE(s().downloadRunning);
    // The next session runs as if nothing had happened.
    server.override = nullptr;
    startDownloadNow(app());
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
}

TEST_F(Takeover, WatchdogRetriesAsManyTimesAsAllowed) {
    w().Text11.setText("2");
    server.override = [](const std::string& line) -> std::string { return line == "PWD" ? "-" : ""; };
    startDownloadNow(app());
    EXPECT_EQ(count("USER "), 3);
    const std::string log = errors();
    EXPECT_EQ(log.rfind("Unknown Error ", 0), 0u) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
}

TEST_F(Takeover, DataResetRetriesTheFileThenFailsItAndGoesOn) {
    w().Text11.setText("1");
    int resets = 0;
    server.override =
        server.retrAs("a.jpg", {"150 Opening BINARY mode data connection for a.jpg (3000 bytes).",
                                std::string(1000, 'a'), true, "426 Connection reset.", [&] { ++resets; }});
    std::vector<std::string> captions;
    w().addObserver([&](const platform::Control* c) {
        if (c == nullptr && (captions.empty() || captions.back() != w().caption())) captions.push_back(w().caption());
    });
    startDownloadNow(app());
    EXPECT_EQ(resets, 2);
    EXPECT_TRUE(std::any_of(captions.begin(), captions.end(), [](const std::string& c) {
        return c.rfind("Ftp Corvantel- Retry Downloading at ", 0) == 0;
    }));
    std::string log = dir.read("dl_file_size.log");
    // One line for a.jpg, a failure (its size may not have been read when
    // the retry took the session over).
    auto at = log.find("   a.jpg   ");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.substr(log.find('\r', at) - 4, 4), "fail") << log;
    EXPECT_EQ(log.find("   a.jpg   ", at + 1), std::string::npos) << log;
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
    EXPECT_EQ(s().downloadRetryCount, 0);
    EXPECT_FALSE(s().sessionAborting);
    EXPECT_EQ(w().caption(), "Ftp Corvantel - Idle");
}

TEST_F(Takeover, DataResetWithoutRetriesFailsAnUnsizedFile) {
    w().ai_del.userChoose();
    server.announceSize = false;
    server.override =
        server.retrAs("a.jpg", {"125 Transfer starting.", std::string(1000, 'a'), true, "226 Transfer complete."});
    startDownloadNow(app());
    EXPECT_NE(dir.read("dl_file_size.log").find("a.jpg         Unknown File Size           fail"), std::string::npos);
    EXPECT_EQ(server.files.count("a.jpg"), 1u);
}

TEST_F(Takeover, UploadHostNotFoundAndRefusedLogin) {
    w().Text3.setText("no-such-host.invalid");
    startUploadNow(app());
    EXPECT_EQ(w().Label12.caption(), "3AMTimeout");
    EXPECT_EQ(dir.read("err_upload.log").rfind("Invalid IP/Host ", 0), 0u);
    w().Text3.setText("127.0.0.1");
    w().Text5.setText("wrong");
    startUploadNow(app());
    EXPECT_EQ(w().Label12.caption(), "3AM Login Failed");
    EXPECT_NE(dir.read("err_upload.log").find("Invalid User/Pass "), std::string::npos);
}

TEST_F(Takeover, UploadStoreNeverConnectingFailsTheFileAndKeepsIt) {
    w().ai_del2.userChoose();
    server.override = [&](const std::string& line) -> std::string {
        return line.rfind("STOR ", 0) == 0 ? "150 Ok to send data." : "";
    };
    startUploadNow(app());
    EXPECT_TRUE(dir.exists("y.txt"));
    EXPECT_NE(dir.read("fileupl.log").find("y.txt          5000         fail"), std::string::npos)
        << dir.read("fileupl.log");
    EXPECT_EQ(w().caption(), "Ftp Corvantel - Idle");
}

TEST_F(Takeover, SilentUploadServerIsTakenOver) {
    server.override = [](const std::string& line) -> std::string { return line == "PWD" ? "-" : ""; };
    startUploadNow(app());
    EXPECT_EQ(w().Label12.caption(), "3AMTimeout");
    EXPECT_EQ(dir.read("err_upload.log").rfind("Unknown Error ", 0), 0u) << dir.read("err_upload.log");
    EXPECT_FALSE(s().uploadRunning);
    server.override = nullptr;
    startUploadNow(app());
    EXPECT_EQ(server.stored["y.txt"], dir.read("y.txt"));
}

TEST_F(Takeover, ServerLeavingAfterTheLoginIsATimeoutNotABadPassword) {
    // The server closes the control connection after the first file; the
    // next command finds it gone.
    server.override = server.retrAs(
        "a.jpg", {"150 Opening BINARY mode data connection for a.jpg (3000 bytes).", std::string(3000, 'a'), false,
                  "226 Transfer complete.", [&] { server.control->close(); }});
    startDownloadNow(app());
    EXPECT_EQ(w().Label11.caption(), "1AMTimeout");
    EXPECT_EQ(errors().rfind("Timeout Error ", 0), 0u) << errors();
    EXPECT_EQ(w().caption(), "Ftp Corvantel - Idle");

    dir.write("z.txt", "second file");
    server.override = [&](const std::string& line) -> std::string {
        if (line.rfind("STOR ", 0) == 0) server.control->close();
        return line.rfind("STOR ", 0) == 0 ? "-" : "";
    };
    startUploadNow(app());
    // Closed during a store: as a reset there, the file fails and the job
    // is armed again for its next run.
    EXPECT_EQ(w().Label12.caption(), "3AM Transfer Failed");
    EXPECT_FALSE(dir.exists("err_upload.log"));
    EXPECT_NE(dir.read("fileupl.log").find("fail"), std::string::npos) << dir.read("fileupl.log");
    EXPECT_TRUE(dir.exists("y.txt"));
}

TEST_F(Takeover, ErrorLogThatCannotBeWrittenChangesNothing) {
    ::mkdir(dir.file("err_dload.log").c_str(), 0755);
    w().Text1.setText("no-such-host.invalid");
    startDownloadNow(app());
    EXPECT_EQ(w().Label11.caption(), "1AMTimeout");
    EXPECT_EQ(w().caption(), "Ftp Corvantel - Idle");
}

}  // namespace
}  // namespace corvantel::testing

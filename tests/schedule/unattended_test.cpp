// A program left alone: busy sessions are never taken for silent ones,
// errors that come late or from odd places end what they should and
// nothing else, retries end, every file gets one verdict, and every-hour
// mode keeps to the clock.

#include <gtest/gtest.h>

#include "support/session_fixture.h"
#include "upload/transfer_log.h"

namespace corvantel::testing {
namespace {

using Unattended = SessionTest;

// Every completed send and every verdict is activity: ten files whose
// confirmations take 30 s each keep the upload busy for 300 s.
TEST_F(Unattended, BusyUploadIsNotTakenOver) {
    for (int i = 0; i < 10; ++i) dir.write("f" + std::to_string(i) + ".txt", "ten bytes!");
    server.storeReplyDelayMs = 30'000;
    startUploadNow(app());
    EXPECT_EQ(server.stored.size(), 10u);
    EXPECT_FALSE(dir.exists("err_upload.log")) << dir.read("err_upload.log");
}

// LIST mode pauses for each matching entry, fetched before or not; a long
// walk past such entries is activity too.
TEST_F(Unattended, LongListWalkIsNotTakenOver) {
    std::string done;
    for (int i = 0; i < 25; ++i) {
        server.files["old" + std::to_string(i) + ".jpg"] = "x";
        done += "old" + std::to_string(i) + ".jpg\r\n";
    }
    dir.write("filename2.log", done);
    app_.reset();
    start();
    fillJobs();
    w().ai_list.setChecked(true);
    w().ai_nlst.setChecked(false);
    startDownloadNow(app());
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
    EXPECT_FALSE(dir.exists("err_dload.log")) << dir.read("err_dload.log");
}

// Errors that arrive when no session of their job runs end nothing and
// leave nothing behind: both jobs still run afterwards.
TEST_F(Unattended, LateErrorsLeaveNoState) {
    w().Text11.setText("2");
    w().Text12.setText("2");
    startDownloadNow(app());
    for (auto* e : {w().ftpclient1.get(), w().ftpclient2.get(), w().ftpclient1a.get(), w().ftpclient3.get()})
        e->onError(platform::neterr::ConnectionReset, "reset");
    EXPECT_FALSE(s().sessionAborting);
    dir.write("y.txt", "upload me");
    startUploadNow(app());
    EXPECT_EQ(server.stored["y.txt"], "upload me");
    server.files["c.jpg"] = "c";
    startDownloadNow(app());
    EXPECT_EQ(dir.read("c.jpg"), "c");
}

// Any error on a control connection ends the session at once, also one
// outside the usual network numbers.
TEST_F(Unattended, ControlErrorOutsideTheNetworkRangeEndsTheSession) {
    server.override = [&](const std::string& line) -> std::string {
        if (line != "PWD") return "";
        w().ftpclient1->onError(platform::neterr::AddressNotAvailable, "address not available");
        return "-";
    };
    const auto t0 = plat.nowMs();
    startDownloadNow(app());
    EXPECT_LT(plat.nowMs() - t0, 30'000);
    EXPECT_EQ(dir.read("err_dload.log").rfind("Timeout Error ", 0), 0u) << dir.read("err_dload.log");
}

// With its retries used up, a session that fails before any file (a reset
// during the listing, every time) is not started again and again.
TEST_F(Unattended, RetriesEndWhenNoFileWasReached) {
    w().Text11.setText("1");
    server.override = [&](const std::string& line) -> std::string {
        if (line.rfind("NLST", 0) != 0) return "";
        auto d = plat.connectTo(server.dataPort());
        server.control->send("150 Here it comes.\r\n");
        d->send("a.j");
        d->reset();
        return "-";
    };
    startDownloadNow(app());
    EXPECT_EQ(server.sessions, 2);
    EXPECT_FALSE(s().sessionAborting);
    EXPECT_EQ(platform::files::splitLines(dir.read("err_dload.log")).size(), 1u);
    server.override = nullptr;
    dir.write("y.txt", "upload me");
    startUploadNow(app());
    EXPECT_EQ(server.stored["y.txt"], "upload me");
}

// One verdict per file: a control connection lost after a file passed (and
// was deleted on the server) does not fail it again; an upload file that
// vanished after its commands went out is replaced by the next one worth
// sending (one sent before is not), and a vanished last file fails once.
TEST_F(Unattended, OneVerdictPerFile) {
    w().ai_del.userChoose();
    server.override = [&](const std::string& line) -> std::string {
        if (line != "DELE a.jpg") return "";
        server.control->reset();
        return "-";
    };
    startDownloadNow(app());
    EXPECT_EQ(w().Label11.caption(), "1AM Transfer Failed");
    EXPECT_EQ(lines("dl_file_size.log", "a.jpg", "pass"), 1);
    EXPECT_EQ(lines("dl_file_size.log", "a.jpg", "fail"), 0) << dir.read("dl_file_size.log");

    dir.write("a0.txt", "a");
    dir.write("x.txt", "x");
    dir.write("y.txt", "y");
    dir.write("z.txt", "z");
    dir.write("fileupl1.log", "y.txt\r\n");
    loadUploadedNames(app());
    server.override = [&](const std::string& line) -> std::string {
        if (line == "REST 0" && count("REST") == 2) {
            std::remove(dir.file("x.txt").c_str());
            std::remove(dir.file("z.txt").c_str());
        }
        return "";
    };
    server.commands.clear();
    startUploadNow(app());
    EXPECT_EQ(lines("fileupl.log", "x.txt", "fail"), 1);
    EXPECT_EQ(lines("fileupl.log", "y.txt", "pass") + lines("fileupl.log", "y.txt", "fail"), 0);
    EXPECT_EQ(lines("fileupl.log", "z.txt", "fail"), 1) << dir.read("fileupl.log");
    EXPECT_EQ(count("STOR"), 1);
    EXPECT_EQ(server.stored["a0.txt"], "a");
}

// Every-hour mode: a session that runs from 5 AM past 7 AM leaves the
// schedule at the hour after the one it ends in, not at 6 AM for tomorrow.
TEST_F(Unattended, EveryHourCatchesUpAfterALongSession) {
    plat.setLocalTime(2026, 12, 7, 4, 59, 30);
    w().ai_hr.userChoose();
    s().downloadHour = "5";
    s().downloadAmPm = "AM";
    w().Check1.setChecked(true);
    server.override = [&](const std::string& line) -> std::string {
        if (line == "PWD") plat.setLocalTime(2026, 12, 7, 7, 14, 0);
        return "";
    };
    plat.runUntil([&] { return s().downloadJobRuns == 1; });
    EXPECT_EQ(w().Label11.caption(), "8AM Active");
    server.override = nullptr;
    plat.runUntil([&] { return s().downloadJobRuns == 2; }, 3'600'000);
    EXPECT_EQ(w().Label11.caption(), "9AM Active");
}

}  // namespace
}  // namespace corvantel::testing

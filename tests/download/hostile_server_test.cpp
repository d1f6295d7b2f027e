// Download sessions against servers that misbehave: each must end, with a
// verdict for every file it started, and nothing the server says may lose
// a good file or reach the program's own files.

#include <gtest/gtest.h>

#include <algorithm>

#include "app/verify.h"
#include "download/records.h"
#include "support/session_fixture.h"

namespace corvantel::testing {
namespace {

using namespace std::string_literals;

class HostileServer : public SessionTest {
protected:
    std::int64_t run() { return download(); }
    int count(const std::string& command) const {
        return static_cast<int>(std::count(server.commands.begin(), server.commands.end(), command));
    }
    int lines(const std::string& name, const std::string& result) {
        return SessionTest::lines("dl_file_size.log", name, result);
    }
    std::string errors() { return dir.read("err_dload.log"); }
    // Answers the listing command with text on a fresh data connection.
    void listAs(const std::string& text) {
        server.override = [this, text](const std::string& line) -> std::string {
            if (line.rfind("NLST", 0) != 0) return "";
            auto d = plat.connectTo(server.dataPort());
            server.control->send("150 Here it comes.\r\n");
            d->send(text);
            d->close();
            server.control->send("226 Done.\r\n");
            return "-";
        };
    }
};

TEST_F(HostileServer, ListingThatNeverEndsIsOverWhenTheWatchdogFires) {
    auto trickle = plat.makeTimer();
    std::shared_ptr<platform::fake::Peer> d;
    server.override = [&](const std::string& line) -> std::string {
        if (line.rfind("NLST", 0) != 0) return "";
        d = plat.connectTo(server.dataPort());
        server.control->send("150 Here it comes.\r\n");
        trickle->setInterval(150);
        trickle->onTick = [&] { d->send("x.jpg\r\n"); };
        trickle->setEnabled(true);
        return "-";
    };
    EXPECT_LT(run(), 300'000);
    EXPECT_EQ(errors().rfind("Unknown Error ", 0), 0u) << errors();
    trickle->setEnabled(false);
    // The next session runs normally.
    server.override = nullptr;
    run();
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
}

TEST_F(HostileServer, EmptyAnnouncementThenBytesFailsAndKeepsTheGoodFile) {
    dir.write("a.jpg", "the good copy");
    w().ai_del.userChoose();
    server.override = server.retrAs("a.jpg", {"150 Opening data connection for a.jpg (0 bytes).",
                                              std::string(3000, 'x'), false, "226 Transfer complete.", {}});
    run();
    EXPECT_EQ(dir.read("a.jpg"), "the good copy");
    EXPECT_EQ(lines("a.jpg", "fail"), 1);
    EXPECT_EQ(count("DELE a.jpg"), 0);
    EXPECT_EQ(lines("b.jpg", "pass"), 1);
}

// A protected data stream that ends without close_notify may have been cut:
// with no size announced nothing proves the file whole.
TEST_F(HostileServer, DataStreamCutWithoutCloseNotifyFailsAndIsNotDeleted) {
    w().ai_del.userChoose();
    server.override = server.retrAs("a.jpg", {"150 Opening data connection for a.jpg.", "5 of 18 bytes", true,
                                              "226 Transfer complete.", {}, platform::neterr::TlsCut});
    run();
    EXPECT_FALSE(dir.exists("a.jpg"));
    EXPECT_EQ(lines("a.jpg", "fail"), 1);
    EXPECT_EQ(lines("a.jpg", "pass"), 0);
    EXPECT_EQ(count("DELE a.jpg"), 0);
    EXPECT_EQ(lines("b.jpg", "pass"), 1);
}

TEST_F(HostileServer, RepliesThatAnswerNothingMoveNothing) {
    server.override = [&](const std::string& line) -> std::string {
        if (line.rfind("USER", 0) != 0) return "";
        std::string flood;
        for (int i = 0; i < 20000; ++i) flood += "226 Transfer complete.\r\n";
        server.control->send(flood);
        return "-";
    };
    run();
    EXPECT_EQ(count("PASS p"), 0);
    EXPECT_TRUE(std::none_of(server.commands.begin(), server.commands.end(),
                             [](const std::string& c) { return c.rfind("NLST", 0) == 0; }));
    EXPECT_FALSE(errors().empty());
    EXPECT_EQ(app().outcomeStatus(), 1);
}

// A server that never answers but sends a line that answers nothing every
// few seconds ("100 Still counting.") holds no wait: the watchdog ends the
// session within its time (after a checksum's patience, for a question
// given one), and the next session runs normally.
TEST_F(HostileServer, WaitsHeldByLinesThatAnswerNothingEndInTime) {
    struct Row {
        const char* held;  // the command never answered
        bool verify;
        std::vector<std::string> features;
        std::int64_t size;  // of a.jpg
        bool watchdog;      // the watchdog ends the session (else a.jpg fails, its data never coming)
    } rows[] = {
        {"CWD /", false, {}, 3000, true},
        {"RETR a.jpg", false, {}, 3000, false},
        {"FEAT", true, {"SIZE"}, 3000, true},
        {"SIZE a.jpg", true, {"SIZE"}, 3000, true},
        {"MDTM a.jpg", true, {"SIZE", "MDTM"}, 3000, true},
        // 32 MiB: a patience of 11 s, past the one-second counter's 10.
        {"HASH a.jpg", true, {"SIZE", "HASH SHA-256*"}, 32 << 20, true},
    };
    // Every run fetches the files again.
    w().Check3.setChecked(false);
    app().s.downloadDupeCheck = false;
    for (auto& row : rows) {
        SCOPED_TRACE(row.held);
        server.files["a.jpg"] = std::string(static_cast<std::size_t>(row.size), 'a');
        server.features = row.features;
        app().s.verifyTransfers = row.verify;
        app().s.settleSeconds = std::string(row.held).rfind("MDTM", 0) == 0 ? 60 : 0;
        bool heldOnce = false;
        server.shaping = [&](const std::string& line, FakeFtpServer::Shape& shape) {
            if (line != row.held || heldOnce) return;
            heldOnce = true;
            shape.holdEveryMs = 4000;
        };
        dir.write("err_dload.log", "");
        const std::int64_t patience = std::string(row.held).rfind("HASH", 0) == 0 ? checksumLimitSeconds(row.size) : 0;
        EXPECT_LT(run(), 300'000 + patience * 1000);
        EXPECT_TRUE(heldOnce);
        if (row.watchdog)
            EXPECT_EQ(errors().rfind("Unknown Error ", 0), 0u) << errors();
        else
            EXPECT_EQ(lines("a.jpg", "fail"), 1) << dir.read("dl_file_size.log");
        server.shaping = nullptr;
        server.files["a.jpg"] = std::string(static_cast<std::size_t>(row.size), 'a');
        run();
        EXPECT_EQ(dir.read("a.jpg").size(), static_cast<std::size_t>(row.size));
    }
}

// A flood of short lines while the dialogue waits after a file: the replies
// waiting stay bounded, and the session ends at once with its own line; the
// file in flight has its verdict, and the next session runs normally.
TEST_F(HostileServer, FloodWhileTheDialogueWaitsEndsTheSession) {
    server.shaping = [&](const std::string& line, FakeFtpServer::Shape& shape) {
        if (line == "RETR a.jpg" && count("RETR a.jpg") == 1) shape.floodLines = 8 * 200;
    };
    const auto took = run();
    EXPECT_LT(took, 60'000);
    EXPECT_EQ(errors().rfind(std::string(floodText) + " ", 0), 0u) << errors();
    EXPECT_LE(dl().assembler.mostQueued(), ReplyAssembler::maxQueuedReplies);
    EXPECT_EQ(lines("a.jpg", "pass") + lines("a.jpg", "fail"), 1);
    EXPECT_EQ(count("RETR b.jpg"), 0);
    EXPECT_EQ(app().outcomeStatus(), 1);
    server.shaping = nullptr;
    run();
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
}

TEST_F(HostileServer, ProgramsOwnFilesAreNeverDownloadedOver) {
    dir.write("filename2.log", "old.jpg\r\n");
    dir.write("err_dload.log", "history\r\n");
    for (const char* n : {"filename2.log", "err_dload.log", "values.log", "pather.log", "dl_file_size.log"})
        server.files[n] = "from the server";
    w().Text7.setText("");
    run();
    EXPECT_EQ(dir.read("filename2.log").rfind("old.jpg\r\n", 0), 0u);
    EXPECT_EQ(dir.read("err_dload.log"), "history\r\n");
    EXPECT_EQ(count("RETR values.log") + count("RETR filename2.log") + count("RETR dl_file_size.log"), 0);
    EXPECT_EQ(lines("values.log", "fail") + lines("pather.log", "fail"), 2);
    EXPECT_EQ(lines("a.jpg", "pass"), 1);
}

TEST_F(HostileServer, FileWhoseFinalReplyNeverComesGetsOneLine) {
    server.override = server.retrAs("a.jpg", {"150 Opening data connection for a.jpg (3000 bytes).",
                                              std::string(3000, 'a'), false, "", {}});
    run();
    EXPECT_EQ(lines("a.jpg", "fail"), 1) << dir.read("dl_file_size.log");
    EXPECT_EQ(lines("a.jpg", "pass"), 0);
    EXPECT_FALSE(dir.exists("a.jpg"));
}

// Lines end at LF alone too; "." and ".." are no files and fail nothing; a
// name listed twice is fetched once; a NUL inside a name makes it unsafe
// instead of naming another file.
TEST_F(HostileServer, BareLineFeedListing) {
    server.files["name.jpg"] = "n";
    listAs("a.jpg\n.\n..\nb.jpg\na.jpg\nnul\0name.jpg\n"s);
    run();
    EXPECT_EQ(count("RETR a.jpg"), 1);
    EXPECT_EQ(count("RETR b.jpg"), 1);
    EXPECT_EQ(count("RETR name.jpg"), 0);
    EXPECT_EQ(lines("a.jpg", "pass") + lines("b.jpg", "pass"), 2);
    EXPECT_EQ(lines("nul?name.jpg", "fail"), 1);
    EXPECT_EQ(s().failedFiles, 1);
    // The data port was offered on the control connection's address only.
    EXPECT_EQ(w().ftpclient2->localHost(), w().ftpclient1->localIP());
}

// Listed names refused as unsafe: each fails with its control bytes shown
// as "?" (a CR inside a name cannot forge a "pass" line for a reader that
// splits on CR), and a session logs at most maxUnsafeLines of them, then
// one summary line with the count of the rest.
TEST_F(HostileServer, UnsafeNamesAreEscapedAndBoundedInTheLog) {
    auto many = [](int n) {
        std::string text;
        for (int i = 0; i < n; ++i) text += "bad" + std::to_string(i) + "\rx.jpg\r\n";
        return text;
    };
    const std::string forged = "x\r2026/12/07    04:00:00 AM   b.jpg         5             pass";
    struct Case {
        std::string listing;
        std::vector<std::string> shown;  // names that get a "fail" line of their own
        std::int64_t unlogged;           // the count on the summary line (0: none)
    } cases[] = {
        {forged + "\r\na.jpg\r\n", {"x?2026/12/07    04:00:00 AM   b.jpg         5             pass"}, 0},
        {"tab\tname.jpg\r\nesc\x1b[2Jname.jpg\r\nvt\vff\fname.jpg\r\nnul\0name.jpg\r\ndel\x7f/a.jpg\r\na.jpg\r\n"s,
         {"tab?name.jpg", "esc?[2Jname.jpg", "vt?ff?name.jpg", "nul?name.jpg", "del?/a.jpg"}, 0},
        {many(100) + "a.jpg\r\n", {"bad0?x.jpg", "bad99?x.jpg"}, 0},
        {many(250) + "a.jpg\r\n", {"bad0?x.jpg", "bad99?x.jpg"}, 150},
    };
    w().Text7.setText("");
    for (auto& c : cases) {
        SCOPED_TRACE(c.listing.substr(0, 40));
        std::remove(dir.file("dl_file_size.log").c_str());
        std::remove(dir.file("filename2.log").c_str());
        loadDownloadedNames(app());
        s().failedFiles = 0;
        listAs(c.listing);
        run();
        const std::string log = dir.read("dl_file_size.log");
        const auto logLines = platform::files::splitLines(log);
        // Every CR ends a line; no line holds a control byte.
        for (std::size_t i = 0; i < log.size(); ++i)
            if (log[i] == '\r') EXPECT_EQ(log.substr(i, 2), "\r\n") << i;
        for (auto& l : logLines)
            for (char ch : l) EXPECT_FALSE(static_cast<unsigned char>(ch) < 32 || ch == '\x7f') << l;
        for (auto& n : c.shown) EXPECT_EQ(lines(n, "fail"), 1) << n << "\n" << log;
        EXPECT_EQ(lines("a.jpg", "pass"), 1) << log;
        EXPECT_EQ(lines("b.jpg", "pass"), 0) << log;
        int passLines = 0;
        for (auto& l : logLines) passLines += l.find("pass") != std::string::npos && l.find("b.jpg") == std::string::npos;
        EXPECT_EQ(passLines, 1) << log;
        // At most maxUnsafeLines lines of their own, then one summary line.
        const std::int64_t refused = s().failedFiles;
        const std::int64_t own = std::min<std::int64_t>(refused, maxUnsafeLines);
        const int summaries = lines("more unsafe names/not logged", "fail");
        EXPECT_EQ(static_cast<std::int64_t>(logLines.size()), own + 1 + summaries) << log;
        EXPECT_EQ(summaries, c.unlogged > 0 ? 1 : 0);
        if (c.unlogged > 0) {
            EXPECT_NE(log.find(" " + std::to_string(c.unlogged) + " "), std::string::npos) << log;
        }
        EXPECT_EQ(refused, own + c.unlogged);
    }
    // The limit is per session: the next session logs its first ones again.
    run();
    EXPECT_EQ(lines("bad0?x.jpg", "fail"), 2);
    EXPECT_EQ(lines("more unsafe names/not logged", "fail"), 2);
}

// LIST mode against servers that list nothing for "LIST *.jpg *.JPG": one
// answers at once, the other only once the program closes its side.
TEST_F(HostileServer, ListModeFallsBackToThePlainListing) {
    for (bool waitsForClose : {false, true}) {
        SCOPED_TRACE(waitsForClose);
        std::remove(dir.file("filename2.log").c_str());
        loadDownloadedNames(app());
        server.patternListEmpty = true;
        server.finalAfterClose = waitsForClose;
        w().ai_list.setChecked(true);
        w().ai_nlst.setChecked(false);
        server.commands.clear();
        run();
        EXPECT_EQ(count("LIST *.jpg *.JPG"), 1);
        EXPECT_EQ(count("LIST"), 1);
        EXPECT_EQ(lines("a.jpg", "pass"), waitsForClose ? 2 : 1);
        EXPECT_EQ(count("RETR b.jpg"), 1);
        EXPECT_TRUE(errors().empty()) << errors();
    }
}

}  // namespace
}  // namespace corvantel::testing

// Whole download sessions on the fake platform against the scripted server.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>

#include "app/app_state.h"
#include "download/dispatch.h"
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
    void run() {
        if (std::getenv("TEST_TRACE")) app().trace = [](const std::string& l) { std::fprintf(stderr, "%s\n", l.c_str()); };
        startDownloadNow(app());
    }

    FakeFtpServer server{plat};
};

TEST_F(DownloadSession, FetchesMatchingFilesAndRecordsThem) {
    // Under a service's umask the files fetched are its user's alone.
    const mode_t umask = ::umask(077);
    run();
    ::umask(umask);
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("a.jpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
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
                sent.push_back(dl().send(bad));
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

bool partialLeft(const TempDir& dir) {
    for (auto& e : std::filesystem::directory_iterator(dir.path()))
        if (e.path().filename().string().find(".corvantel-part") != std::string::npos) return true;
    return false;
}

// Verified downloads: what the server offers, how it answers, the verdicts.
struct ProofCase {
    const char* name;
    std::vector<std::string> features;
    std::function<void(FakeFtpServer&)> setup;
    const char* a;                  // a.jpg's verdict (b.jpg always passes unless told)
    std::vector<std::string> sent;  // among the commands sent
    bool unverified = false;        // the error log says so
    const char* b = "pass";
    const char* reason = "";        // a.jpg's failure reason, as a front-end is told it
};

class ProvenDownload : public DownloadSession, public ::testing::WithParamInterface<ProofCase> {};

TEST_P(ProvenDownload, Verdicts) {
    const auto& c = GetParam();
    server.features = c.features;
    if (c.setup) c.setup(server);
    w().ai_verify.onChoose();
    std::string reason;
    app().events.fileJudged = [&](const FileVerdict& v) {
        if (v.name == "a.jpg") reason = v.reason;
    };
    run();
    EXPECT_EQ(reason, c.reason);
    const std::string log = dir.read("dl_file_size.log");
    EXPECT_EQ(verdictOf(log, "a.jpg"), c.a) << log;
    EXPECT_EQ(verdictOf(log, "b.jpg"), c.b) << log;
    EXPECT_EQ(dir.exists("a.jpg"), std::string(c.a) == "pass");
    if (dir.exists("a.jpg")) {
        EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    }
    for (auto& cmd : c.sent)
        EXPECT_NE(std::find(server.commands.begin(), server.commands.end(), cmd), server.commands.end()) << cmd;
    EXPECT_EQ(dir.read("err_dload.log").find("Not Verified") != std::string::npos, c.unverified);
    EXPECT_FALSE(partialLeft(dir));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProvenDownload,
    ::testing::Values(
        ProofCase{"SizeAndTheSelectedHash", {"SIZE", "MDTM", "HASH SHA-1;SHA-256*"}, nullptr, "pass",
                  {"FEAT", "SIZE a.jpg", "HASH a.jpg", "HASH b.jpg"}},
        ProofCase{"StrongestHashSelectedOnce", {"HASH SHA-1*;MD5;SHA-512"}, nullptr, "pass",
                  {"OPTS HASH SHA-512", "HASH b.jpg"}},
        ProofCase{"XCommand", {"SIZE", "XCRC", "XMD5"}, nullptr, "pass", {"XMD5 a.jpg", "XMD5 b.jpg"}},
        ProofCase{"ChecksumMismatch", {"SIZE", "XSHA256"}, [](FakeFtpServer& s) { s.checksumLie = true; }, "fail",
                  {}, false, "fail", "checksum mismatch"},
        ProofCase{"SizeMismatch", {"SIZE"}, [](FakeFtpServer& s) { s.sizeSkew = 1; }, "fail", {}, false, "fail",
                  "size differs from the server's: 5001 bytes there, 5000 received"},
        ProofCase{"CutWithoutAnAnnouncedSize", {"SIZE"},
                  [](FakeFtpServer& s) {
                      s.announceSize = false;
                      s.shaping = [](const std::string& cmd, FakeFtpServer::Shape& sh) {
                          if (cmd == "RETR a.jpg") sh.dataBytes = 3000;
                      };
                  },
                  "fail", {"SIZE a.jpg"}, false, "pass", "size differs from the server's: 5000 bytes there, 3000 received"},
        ProofCase{"ChecksumRefused", {"XSHA256"},
                  [](FakeFtpServer& s) {
                      s.shaping = [](const std::string& cmd, FakeFtpServer::Shape& sh) {
                          if (cmd == "XSHA256 a.jpg") sh.refuse = "550";
                      };
                  },
                  "fail", {"XSHA256 b.jpg"}, false, "pass", "checksum not confirmed by the server"},
        ProofCase{"NothingOffered", {}, nullptr, "pass", {"FEAT"}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The server's time as MDTM tells it, seconds from now.
std::string mdtmAt(const platform::Clock& clock, std::int64_t fromNow) {
    const std::time_t t = static_cast<std::time_t>(clock.utcSeconds() + fromNow);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
    return text;
}

// Settled files only: a file modified just before the listing, grown since
// the long listing showed it, or growing while it is fetched, is left (no
// line, no local copy, no DELE) and taken by a later run.
TEST_F(DownloadSession, UnsettledFilesAreLeftForALaterRun) {
    server.features = {"SIZE", "MDTM"};
    server.files["c.jpg"] = "cc";
    server.files["d.jpg"] = "dd";
    server.mdtm["a.jpg"] = mdtmAt(plat, -5);
    int grows = 1, growsOnTheWire = 1;
    server.override = [&](const std::string& line) {
        if (line == "MDTM a.jpg" && grows > 0) server.files["b.jpg"] += "more";
        if (line == "RETR c.jpg" && grows-- > 0) server.files["c.jpg"] += "more";
        if (line == "RETR d.jpg" && growsOnTheWire-- > 0) server.files["d.jpg"] = "ddmore";
        return std::string();
    };
    // d.jpg grows while it is sent: more bytes come than its 150 stated.
    server.shaping = [&](const std::string& line, FakeFtpServer::Shape& sh) {
        if (line == "RETR d.jpg" && growsOnTheWire > 0) sh.dataBytes = 6;
    };
    w().ai_list.onChoose();
    s().settleChoice = 60;
    w().ai_settle.onChoose();
    w().ai_del.onChoose();
    run();
    EXPECT_EQ(dir.read("dl_file_size.log"), "");
    for (auto* f : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"}) {
        EXPECT_FALSE(dir.exists(f)) << f;
        EXPECT_EQ(server.files.count(f), 1u) << f;
    }
    EXPECT_FALSE(partialLeft(dir));
    EXPECT_EQ(s().failedFiles, 0);
    // Once settled, all are taken.
    server.mdtm["a.jpg"] = mdtmAt(plat, -3600);
    run();
    const std::string log = dir.read("dl_file_size.log");
    for (auto* f : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"}) EXPECT_EQ(verdictOf(log, f), "pass") << log;
    EXPECT_EQ(dir.read("c.jpg"), "ccmore");
}

// Resumed downloads: a file cut at 60 % keeps its part; the next run asks
// REST for the rest, which alone is sent, and the whole file passes.
TEST_F(DownloadSession, CutFileIsResumedWhereItStopped) {
    server.features = {"SIZE", "MDTM", "REST STREAM", "XSHA1"};
    int cuts = 1;
    server.shaping = [&](const std::string& cmd, FakeFtpServer::Shape& sh) {
        if (cmd == "RETR a.jpg" && cuts-- > 0) {
            sh.dataBytes = 3000;
            sh.dataEnd = FakeFtpServer::Shape::DataEnd::Reset;
        }
    };
    w().ai_resume.onChoose();
    w().ai_verify.onChoose();
    run();
    EXPECT_EQ(verdictOf(dir.read("dl_file_size.log"), "a.jpg"), "fail");
    EXPECT_TRUE(partialLeft(dir));
    run();
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    const std::string log = dir.read("dl_file_size.log");
    EXPECT_NE(log.find("a.jpg         5000          pass\r\n"), std::string::npos) << log;
    EXPECT_NE(std::find(server.commands.begin(), server.commands.end(), "REST 3000"), server.commands.end());
    const auto last = std::find_if(server.attempts.rbegin(), server.attempts.rend(),
                                   [](const auto& a) { return a.name == "a.jpg"; });
    ASSERT_NE(last, server.attempts.rend());
    EXPECT_EQ(last->bytes.size(), 2000u);
    EXPECT_FALSE(partialLeft(dir));
}

// With the date stamp, a part kept on another day (under that day's local
// name) is resumed into today's file.
TEST_F(DownloadSession, PartKeptOnAnotherDayIsResumed) {
    server.features = {"SIZE", "MDTM"};
    server.mdtm["a.jpg"] = "20260101000000";
    dir.write(".20261206_a.jpg.r5000-1767225600-Yesterday01.corvantel-part", server.files["a.jpg"].substr(0, 1234));
    w().ai_dstamp.onChoose();
    w().ai_resume.onChoose();
    run();
    EXPECT_EQ(dir.read("20261207_a.jpg"), server.files["a.jpg"]);
    EXPECT_NE(std::find(server.commands.begin(), server.commands.end(), "REST 1234"), server.commands.end());
    EXPECT_FALSE(partialLeft(dir));
}

// A kept part that cannot be a beginning of the server's copy (it is larger,
// it was kept from another copy of the same size, REST is refused, or REST
// is answered and not obeyed) is dropped and the whole file fetched; a
// resume that brings more than the file never passes.
TEST_F(DownloadSession, UnusablePartsAreFetchedWhole) {
    server.features = {"SIZE", "MDTM"};
    enum Case { Larger, OtherCopy, RestRefused, RestIgnored };
    for (const Case c : {Larger, OtherCopy, RestRefused, RestIgnored}) {
        SCOPED_TRACE(c);
        // The server's a.jpg: 5000 bytes, of the default time 2000-01-01.
        const std::string time = c == OtherCopy ? "946684799" : "946684800";
        dir.write(".a.jpg.r5000-" + time + "-AAAAAAAAAAA.corvantel-part",
                  c == Larger ? std::string(6000, 'a') : server.files["a.jpg"].substr(0, 100));
        server.override = [&](const std::string& cmd) -> std::string {
            if (cmd.rfind("REST ", 0) != 0 || cmd == "REST 0") return "";
            if (c == RestRefused) return "502 Not implemented.";
            return c == RestIgnored ? "350 Restarting at " + cmd.substr(5) + "." : "";
        };
        s().downloadDupeCheck = false;
        if (!w().ai_resume.checked()) w().ai_resume.onChoose();
        const auto failed = s().failedFiles;
        run();
        EXPECT_FALSE(partialLeft(dir));
        if (c == RestIgnored) {
            EXPECT_EQ(s().failedFiles, failed + 1);
            run();
        }
        EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
        EXPECT_EQ(s().failedFiles, failed + (c == RestIgnored ? 1 : 0));
    }
}

}  // namespace
}  // namespace corvantel::testing

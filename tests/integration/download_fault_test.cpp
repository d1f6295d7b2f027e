// End to end: the download job when the network or the server misbehaves.

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "download_fixture.h"

namespace corvantel::itest {
namespace {

using DownloadFaultTest = DownloadTest;

// The server options of a common server (wildcards, sizes announced).
std::vector<std::string> common(std::vector<std::string> faults) {
    return concat({"--expand-wildcards", "--announce-size"}, faults);
}

// Nothing listens on the port: the connection is refused at once.
TEST_F(DownloadFaultTest, ConnectionRefusedFailsTheSession) {
    const int port = unusedPort();
    ASSERT_GT(port, 0);
    auto r = runCorvantel({"--download-host", "127.0.0.1", "--download-port", std::to_string(port), "--download-user",
                           user_, "--download-password", password_, "--download-dir", "/", "--download-pattern",
                           "*.jpg", "--download-retries", "0", "--work-path", work_.string(), "--run-now", "download",
                           "--once"},
                          60s);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 20) << r.describe();
    auto err = readLines(run_ / "err_dload.log");
    ASSERT_EQ(err.size(), 1u) << readFile(run_ / "err_dload.log");
    EXPECT_TRUE(std::regex_match(err[0], errLinePattern())) << err[0];
    EXPECT_EQ(err[0].find("Invalid User/Pass"), std::string::npos) << err[0];
    EXPECT_EQ(fileNames(work_), std::vector<std::string>{});
    EXPECT_EQ(sizeLog().size(), 0u);
}

// A name under "invalid." never resolves (and is never asked of a name
// server): "Invalid IP/Host <date> at <time>".
TEST_F(DownloadFaultTest, HostNotFoundIsReportedAsInvalidHost) {
    auto r = runCorvantel({"--download-host", "no-such-host.invalid", "--download-port", "21", "--download-user", user_,
                           "--download-password", password_, "--download-dir", "/", "--download-pattern", "*.jpg",
                           "--download-retries", "0", "--work-path", work_.string(), "--run-now", "download", "--once"},
                          60s);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    auto err = readLines(run_ / "err_dload.log");
    ASSERT_EQ(err.size(), 1u) << readFile(run_ / "err_dload.log");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(err[0], m, errLinePattern())) << err[0];
    EXPECT_EQ(m[1].str(), "Invalid IP/Host") << err[0];
    EXPECT_EQ(fileNames(work_), std::vector<std::string>{});
}

// The data connection of a.jpg is reset after 100000 bytes. With one retry
// allowed, a.jpg is fetched twice, then recorded "fail"; b.jpg still comes.
TEST_F(DownloadFaultTest, DataResetMidFileIsRetriedOnceThenFailed) {
    ASSERT_TRUE(startServer(common({"--reset-data-after", "100000", "--fault-file", "a.jpg"})));
    auto r = download("*.jpg", concat(intoWork(), {"--download-retries", "1"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(countCommands("RETR a.jpg"), 2) << readFile(base_ / "server-commands.log");
    EXPECT_EQ(countCommands("RETR b.jpg"), 1) << readFile(base_ / "server-commands.log");
    expectFetched(work_ / "b.jpg", b_);
    auto log = sizeLog();
    auto la = linesFor(log, "a.jpg"), lb = linesFor(log, "b.jpg");
    ASSERT_FALSE(la.empty()) << show(log);
    for (auto& z : la) EXPECT_EQ(z.result, "fail") << show(log);
    ASSERT_EQ(lb.size(), 1u) << show(log);
    EXPECT_EQ(lb[0].result, "pass") << show(log);
    auto names = readLines(run_ / "filename2.log");
    EXPECT_FALSE(contains(names, "a.jpg")) << "a failed file must be fetched again next time";
    EXPECT_TRUE(contains(names, "b.jpg"));
}

// Without retries the reset file fails at once. With --delete-after-download
// only the file that passed is deleted on the server.
TEST_F(DownloadFaultTest, DataResetFailsTheFileWhichIsNotDeleted) {
    ASSERT_TRUE(startServer(common({"--reset-data-after", "100000", "--fault-file", "a.jpg"})));
    auto r = download("*.jpg", concat(intoWork(), {"--download-retries", "0", "--delete-after-download"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(countCommands("RETR a.jpg"), 1);
    auto log = sizeLog();
    auto la = linesFor(log, "a.jpg"), lb = linesFor(log, "b.jpg");
    ASSERT_EQ(la.size(), 1u) << show(log);
    EXPECT_EQ(la[0].result, "fail");
    ASSERT_EQ(lb.size(), 1u) << show(log);
    EXPECT_EQ(lb[0].result, "pass");
    expectFetched(work_ / "b.jpg", b_);
    EXPECT_FALSE(sawCommand("DELE a.jpg")) << readFile(base_ / "server-commands.log");
    EXPECT_TRUE(fileExists(remote_ / "a.jpg"));
    EXPECT_TRUE(sawCommand("DELE b.jpg")) << readFile(base_ / "server-commands.log");
    EXPECT_FALSE(fileExists(remote_ / "b.jpg"));
}

// The server closes a.jpg's data connection cleanly after 100000 of the
// 300000 bytes it announced, and still says 226: the size check fails the
// file, so it is not deleted either.
TEST_F(DownloadFaultTest, ShortTransferAgainstTheAnnouncedSizeFails) {
    ASSERT_TRUE(startServer(common({"--close-data-after", "100000", "--fault-file", "a.jpg"})));
    auto r = download("*.jpg", concat(intoWork(), {"--download-retries", "0", "--delete-after-download"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    auto log = sizeLog();
    auto la = linesFor(log, "a.jpg"), lb = linesFor(log, "b.jpg");
    ASSERT_EQ(la.size(), 1u) << show(log);
    EXPECT_EQ(la[0].result, "fail");
    EXPECT_EQ(la[0].size, "300000") << "a failed file is logged with its expected size";
    ASSERT_EQ(lb.size(), 1u) << show(log);
    EXPECT_EQ(lb[0].result, "pass");
    EXPECT_FALSE(sawCommand("DELE a.jpg"));
    EXPECT_TRUE(fileExists(remote_ / "a.jpg"));
    EXPECT_FALSE(fileExists(remote_ / "b.jpg"));
}

// FTPS, no size announced: the server ends a.jpg's protected data stream
// after 5 bytes without close_notify and still says 226. Only close_notify
// proves such a stream whole: the file fails and is not deleted.
TEST_F(DownloadFaultTest, TlsDataStreamCutWithoutCloseNotifyFailsAndIsNotDeleted) {
    const fs::path certs = base_ / "certs";
    ASSERT_TRUE(makeCertificates(certs)) << "openssl could not make the test certificates";
    ASSERT_TRUE(startServer({"--expand-wildcards", "--tls-cert", (certs / "server.pem").string(), "--tls-key",
                             (certs / "server.key").string(), "--cut-data-after", "5", "--fault-file", "a.jpg"}));
    auto r = download("*.jpg", concat(intoWork(), {"--download-retries", "0", "--delete-after-download",
                                                   "--download-tls", "--tls-ca", (certs / "ca.pem").string()}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    auto log = sizeLog();
    auto la = linesFor(log, "a.jpg"), lb = linesFor(log, "b.jpg");
    ASSERT_EQ(la.size(), 1u) << show(log);
    EXPECT_EQ(la[0].result, "fail");
    ASSERT_EQ(lb.size(), 1u) << show(log);
    EXPECT_EQ(lb[0].result, "pass");
    expectFetched(work_ / "b.jpg", b_);
    EXPECT_FALSE(fileExists(work_ / "a.jpg"));
    EXPECT_FALSE(sawCommand("DELE a.jpg")) << readFile(base_ / "server-commands.log");
    EXPECT_TRUE(fileExists(remote_ / "a.jpg"));
    EXPECT_TRUE(sawCommand("AUTH TLS"));
}

// No size announced (stock server), the data connection closed early and the
// transfer answered 426: the server said it failed, so the file fails.
TEST_F(DownloadFaultTest, TransferAbortedByTheServerFails) {
    ASSERT_TRUE(startServer({"--close-data-after", "100000", "--close-data-reply", "426", "--fault-file", "a.jpg"}));
    auto r = download("", concat(intoWork(), {"--download-retries", "0"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    auto log = sizeLog();
    auto la = linesFor(log, "a.jpg");
    ASSERT_EQ(la.size(), 1u) << show(log);
    EXPECT_EQ(la[0].result, "fail");
    EXPECT_EQ(linesFor(log, "b.jpg").size(), 1u) << show(log);
    EXPECT_EQ(linesFor(log, "c.txt").size(), 1u) << show(log);
    for (auto& n : {"b.jpg", "c.txt"}) {
        auto l = linesFor(log, n);
        if (!l.empty()) {
            EXPECT_EQ(l[0].result, "pass") << show(log);
        }
    }
    expectFetched(work_ / "b.jpg", b_);
    EXPECT_FALSE(contains(readLines(run_ / "filename2.log"), "a.jpg"));
}

// A listed name the server will not send (a directory: RETR answers 550):
// that name fails at once, the other files are fetched.
// Reported as JSON events, one per line, and to the --on-session command.
TEST_F(DownloadFaultTest, RefusedRetrFailsThatFileOnly) {
    fs::create_directories(remote_ / "a0.jpg");
    ASSERT_TRUE(startServer(common({})));
    const fs::path hookEnv = base_ / "hook.env", hookFds = base_ / "hook.fds";
    auto r = runCorvantel(concat(concat(downloadOptions("*.jpg"), intoWork()),
                                 {"--download-retries", "0", "--delete-after-download", "--run-now", "download",
                                  "--once", "--json", "--on-session",
                                  "env > '" + hookEnv.string() + "'; ls -l /proc/$$/fd > '" + hookFds.string() + "'"}),
                          120s, {{"CORVANTEL_UPLOAD_PASSWORD", "not-for-the-hook"}});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();

    std::vector<nlohmann::json> events;
    std::map<std::string, nlohmann::json> files;
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) {
        auto e = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(e.is_object()) << line;
        ASSERT_TRUE(e["time"].is_string() && e["event"].is_string()) << line;
        events.push_back(e);
        if (e["event"] == "file") files[e.value("name", "")] = e;
    }
    auto at = [&](const char* event) {
        return std::find_if(events.begin(), events.end(), [&](auto& e) { return e["event"] == event; });
    };
    ASSERT_NE(at("session-start"), events.end()) << r.out;
    const auto end = at("session-end");
    ASSERT_NE(end, events.end()) << r.out;
    EXPECT_LT(at("session-start"), at("file")) << r.out;
    EXPECT_EQ(files.size(), 3u) << r.out;
    auto& a0 = files["a0.jpg"];
    EXPECT_EQ(a0["result"], "fail") << a0.dump();
    EXPECT_EQ(a0.value("reason", "").rfind("server: 550", 0), 0u) << a0.dump();
    EXPECT_TRUE(a0["size"].is_null()) << a0.dump();
    auto& a = files["a.jpg"];
    EXPECT_EQ(a["result"], "pass") << a.dump();
    EXPECT_EQ(a["size"], 300000) << a.dump();
    EXPECT_TRUE(a["seconds"].is_number()) << a.dump();
    EXPECT_FALSE(a.contains("reason")) << a.dump();
    EXPECT_EQ(files["b.jpg"]["size"], 200000) << r.out;
    EXPECT_EQ((*end)["job"], "download");
    EXPECT_EQ((*end)["result"], "failed");
    EXPECT_EQ((*end)["passed"], 2);
    EXPECT_EQ((*end)["failed"], 1);
    EXPECT_EQ((*end)["bytes"], 500000);
    EXPECT_NE(at("caption"), events.end()) << r.out;

    // The hook has ended when the program's standard error closes.
    const auto env = readLines(hookEnv);
    for (const char* v : {"CORVANTEL_JOB=download", "CORVANTEL_RESULT=failed", "CORVANTEL_PASSED=2",
                          "CORVANTEL_FAILED=1", "CORVANTEL_BYTES=500000"})
        EXPECT_TRUE(contains(env, v)) << v << "\n" << readFile(hookEnv);
    for (auto& line : env) EXPECT_EQ(line.rfind("CORVANTEL_UPLOAD_PASSWORD=", 0), std::string::npos) << line;
    // No socket of the program, and nothing to read from.
    const std::string fds = readFile(hookFds);
    EXPECT_NE(fds.find(" 0 -> /dev/null"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
    EXPECT_NE(r.err.find("--on-session command after the download run ended with status 0"), std::string::npos)
        << r.describe();
    EXPECT_EQ(countCommands("RETR a0.jpg"), 1) << readFile(base_ / "server-commands.log");
    auto log = sizeLog();
    auto l0 = linesFor(log, "a0.jpg");
    ASSERT_EQ(l0.size(), 1u) << show(log);
    EXPECT_EQ(l0[0].result, "fail");
    expectFetched(work_ / "a.jpg", a_);
    expectFetched(work_ / "b.jpg", b_);
    EXPECT_EQ(linesFor(log, "a.jpg").size(), 1u) << show(log);
    EXPECT_EQ(linesFor(log, "b.jpg").size(), 1u) << show(log);
    EXPECT_FALSE(sawCommand("DELE a0.jpg"));
    EXPECT_TRUE(sawCommand("DELE a.jpg"));
    for (auto& line : readLines(run_ / "err_dload.log"))
        EXPECT_EQ(line.find("Unknown Error"), std::string::npos) << line;
}

// The server accepts PORT and answers RETR a.jpg with 150 but never
// connects: a.jpg fails after the program's wait, b.jpg is still fetched.
TEST_F(DownloadFaultTest, DataConnectionNeverOpenedFailsThatFile) {
    ASSERT_TRUE(startServer(common({"--no-data-connect", "--fault-file", "a.jpg"})));
    auto r = download("*.jpg", concat(intoWork(), {"--download-retries", "0"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    auto log = sizeLog();
    auto la = linesFor(log, "a.jpg"), lb = linesFor(log, "b.jpg");
    ASSERT_EQ(la.size(), 1u) << show(log);
    EXPECT_EQ(la[0].result, "fail");
    ASSERT_EQ(lb.size(), 1u) << show(log);
    EXPECT_EQ(lb[0].result, "pass");
    expectFetched(work_ / "b.jpg", b_);
}

// The server stops answering after PWD (connection kept open). The watchdog
// takes the session over after about 220 s of program time (about 4 s here)
// and, with no retry left, logs "Unknown Error".
TEST_F(DownloadFaultTest, SilentServerIsTakenOverByTheWatchdog) {
    ASSERT_TRUE(startServer(common({"--silent-after", "PWD"})));
    auto r = download("*.jpg", concat(intoWork(), {"--download-retries", "0"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    // 200 s of program time at 60 times real speed: not before ~3.3 s.
    EXPECT_GT(r.seconds, 3.0) << r.describe();
    EXPECT_LT(r.seconds, 30.0) << r.describe();
    auto err = readLines(run_ / "err_dload.log");
    ASSERT_EQ(err.size(), 1u) << readFile(run_ / "err_dload.log");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(err[0], m, errLinePattern())) << err[0];
    EXPECT_EQ(m[1].str(), "Unknown Error") << err[0];
    EXPECT_EQ(countCommands("NLST"), 0);
    EXPECT_EQ(fileNames(work_), std::vector<std::string>{});
}

// Silence in the middle of the session (RETR b.jpg never answered): a.jpg
// passed already; b.jpg does not pass; the watchdog ends the session.
TEST_F(DownloadFaultTest, SilenceDuringATransferIsTakenOverByTheWatchdog) {
    ASSERT_TRUE(startServer(common({"--silent-after", "RETR", "--fault-file", "b.jpg"})));
    auto r = download("*.jpg", concat(intoWork(), {"--download-retries", "0"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 30.0) << r.describe();
    expectFetched(work_ / "a.jpg", a_);
    auto log = sizeLog();
    auto la = linesFor(log, "a.jpg");
    ASSERT_EQ(la.size(), 1u) << show(log);
    EXPECT_EQ(la[0].result, "pass");
    for (auto& z : linesFor(log, "b.jpg")) EXPECT_EQ(z.result, "fail") << show(log);
    EXPECT_FALSE(contains(readLines(run_ / "filename2.log"), "b.jpg"));
}

// The server drops the control connection when RETR arrives: the session
// fails promptly, nothing passes.
TEST_F(DownloadFaultTest, ControlConnectionClosedOnRetrFailsTheSession) {
    ASSERT_TRUE(startServer(common({"--close-control-after", "RETR"})));
    auto r = download("*.jpg", concat(intoWork(), {"--download-retries", "0"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 30.0) << r.describe();
    for (auto& z : sizeLog()) EXPECT_NE(z.result, "pass") << show(sizeLog());
    EXPECT_EQ(readLines(run_ / "filename2.log").size(), 0u);
    EXPECT_EQ(countCommands("DELE"), 0);
}

// A reply line of 1 MiB to PWD: the program neither hangs nor crashes, and
// whatever it decides, what it fetched is right.
TEST_F(DownloadFaultTest, HugeReplyLineIsSurvived) {
    ASSERT_TRUE(startServer(common({"--huge-reply-after", "PWD"})));
    auto r = download("*.jpg", concat(intoWork(), {"--download-retries", "0"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.signal, 0) << r.describe();
    EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.describe();
    EXPECT_LT(r.seconds, 30.0) << r.describe();
    for (auto& z : sizeLog()) {
        if (z.result != "pass") continue;
        expectFetched(work_ / z.name, z.name == "a.jpg" ? a_ : b_);
    }
    if (r.exitCode == 0) {
        EXPECT_EQ(fileNames(work_), (std::vector<std::string>{"a.jpg", "b.jpg"}));
    }
}

// A reply to PWD that never ends its line is as good as silence.
TEST_F(DownloadFaultTest, UnterminatedReplyIsTakenOverByTheWatchdog) {
    ASSERT_TRUE(startServer(common({"--unterminated-reply-after", "PWD"})));
    auto r = download("*.jpg", concat(intoWork(), {"--download-retries", "0"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 30.0) << r.describe();
    EXPECT_EQ(countCommands("RETR"), 0);
    EXPECT_EQ(fileNames(work_), std::vector<std::string>{});
    EXPECT_EQ(readLines(run_ / "err_dload.log").size(), 1u) << readFile(run_ / "err_dload.log");
}

}  // namespace
}  // namespace corvantel::itest

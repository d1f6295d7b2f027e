// End to end: the upload job when the network or the server misbehaves.

#include <map>

#include "harness.h"

namespace corvantel::itest {
namespace {

// A file large enough that the program is still sending it when the server
// resets the data connection after 100000 bytes: what it can have handed to
// the kernel by then (socket buffers, a few MiB at most) is far less.
constexpr std::size_t kLargeFile = 8u << 20;

// The values a status line of standard output took, in order. The headless
// program prints "YYYY/MM/DD hh:mm:ss AM <what>: <value>" on each change.
std::vector<std::string> statusValues(const std::string& out, const std::string& what) {
    std::vector<std::string> values;
    static const std::regex line(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} [AP]M ([A-Za-z0-9]+): ?(.*)$)");
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t nl = out.find('\n', start);
        std::string text = out.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        std::smatch m;
        if (std::regex_match(text, m, line) && m[1] == what) values.push_back(m[2]);
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return values;
}

std::string lastStatus(const ProcessResult& r, const std::string& what) {
    auto v = statusValues(r.out, what);
    return v.empty() ? std::string() : v.back();
}

int countStartingWith(const std::vector<std::string>& v, const std::string& prefix) {
    return static_cast<int>(std::count_if(v.begin(), v.end(), [&](auto& s) { return s.rfind(prefix, 0) == 0; }));
}

class UploadFaultTest : public IntegrationTest {
protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        put("x.jpg", randomBytes(250000, 21));
        put("y.jpg", randomBytes(120000, 22));
        writeFile(work_ / "z.txt", "not a picture\r\n");
    }

    // A local file to upload; its content is remembered for the checks.
    void put(const std::string& name, const std::string& content) {
        writeFile(work_ / name, content);
        local_[name] = content;
    }

    // One upload session from work/, run now, then the program ends.
    ProcessResult upload(const std::vector<std::string>& extra, const std::string& pattern = "*.jpg") {
        return runCorvantel(concat(concat(uploadOptions(pattern), {"--work-path", work_.string()}),
                                   concat(extra, {"--run-now", "upload", "--once"})),
                            90s);
    }

    // The upload options towards a host and port where no server runs.
    ProcessResult uploadTo(const std::string& host, int port) {
        return runCorvantel({"--upload-host", host, "--upload-port", std::to_string(port), "--upload-user", user_,
                             "--upload-password", password_, "--upload-dir", "/", "--upload-pattern", "*.jpg",
                             "--upload-retries", "0", "--delete-after-upload", "--work-path", work_.string(),
                             "--run-now", "upload", "--once"},
                            60s);
    }

    std::vector<ZoneLine> uploadLog() const { return readZoneLog(run_ / "fileupl.log"); }
    std::vector<std::string> uploadedNames() const { return readLines(run_ / "fileupl1.log"); }

    bool passed(const std::string& name) const {
        for (auto& z : linesFor(uploadLog(), name))
            if (z.result == "pass") return true;
        return false;
    }

    // The one line of err_upload.log, checked for its form; its message.
    std::string onlyErrorLine() const {
        auto err = readLines(run_ / "err_upload.log");
        EXPECT_EQ(err.size(), 1u) << readFile(run_ / "err_upload.log");
        if (err.empty()) return "(no error line)";
        std::smatch m;
        if (!std::regex_match(err[0], m, errLinePattern())) {
            ADD_FAILURE() << "malformed error line: " << err[0];
            return err[0];
        }
        return m[1].str();
    }

    void expectNoErrorLine() const {
        EXPECT_EQ(readLines(run_ / "err_upload.log").size(), 0u) << readFile(run_ / "err_upload.log");
    }

    // The session has ended as every session does: caption back to idle and
    // the date of the last upload shown.
    void expectEndedIdle(const ProcessResult& r) const {
        EXPECT_EQ(lastStatus(r, "caption"), "Ftp Corvantel - Idle") << r.describe();
        const std::string last = lastStatus(r, "Label19");
        EXPECT_EQ(last.rfind("Last Upload on ", 0), 0u) << r.describe();
        EXPECT_GT(last.size(), std::string("Last Upload on ").size()) << r.describe();
    }

    // The file never passed: every line logged for it says "fail", it is
    // not remembered as uploaded, and the local copy is still there, whole
    // (also with --delete-after-upload).
    void expectFailedAndKept(const std::string& name, bool mustBeLogged = true) const {
        auto log = uploadLog();
        auto lines = linesFor(log, name);
        if (mustBeLogged) {
            EXPECT_FALSE(lines.empty()) << name << " has no line in fileupl.log\n" << show(log);
        }
        for (auto& z : lines) EXPECT_EQ(z.result, "fail") << name << "\n" << show(log);
        EXPECT_FALSE(contains(uploadedNames(), name)) << readFile(run_ / "fileupl1.log");
        ASSERT_TRUE(fileExists(work_ / name)) << name << " was deleted locally although it failed";
        EXPECT_TRUE(readFile(work_ / name) == local_.at(name)) << name << " was changed locally";
    }

    // The file passed once, is stored whole, remembered, and (with
    // --delete-after-upload) gone locally.
    void expectPassedAndDeleted(const std::string& name) const {
        auto log = uploadLog();
        auto lines = linesFor(log, name);
        ASSERT_EQ(lines.size(), 1u) << name << "\n" << show(log);
        EXPECT_EQ(lines[0].result, "pass") << show(log);
        EXPECT_EQ(lines[0].size, std::to_string(local_.at(name).size())) << show(log);
        ASSERT_TRUE(fileExists(remote_ / name)) << name << " was not stored";
        EXPECT_TRUE(readFile(remote_ / name) == local_.at(name)) << name << " differs from the local file";
        EXPECT_TRUE(contains(uploadedNames(), name)) << readFile(run_ / "fileupl1.log");
        EXPECT_FALSE(fileExists(work_ / name)) << name << " passed but was not deleted locally";
    }

    // Whatever the program decided, it agrees with what happened: a file
    // logged "pass" is stored whole and deleted locally; any other file is
    // kept locally; the exit status is 0 only when no file failed.
    void expectConsistentOutcome(const ProcessResult& r) const {
        bool anyFail = false;
        for (auto& [name, content] : local_) {
            if (passed(name)) {
                ASSERT_TRUE(fileExists(remote_ / name)) << name << " logged pass but not stored";
                EXPECT_TRUE(readFile(remote_ / name) == content) << name << " logged pass but stored wrong";
                EXPECT_FALSE(fileExists(work_ / name)) << name;
            } else {
                EXPECT_TRUE(fileExists(work_ / name)) << name << " did not pass but was deleted locally";
            }
            for (auto& z : linesFor(uploadLog(), name)) anyFail = anyFail || z.result == "fail";
        }
        if (r.exitCode == 0) {
            EXPECT_FALSE(anyFail) << "exit status 0 although a file failed\n" << show(uploadLog());
        }
        if (anyFail) {
            EXPECT_EQ(r.exitCode, 1) << r.describe();
        }
    }

    std::map<std::string, std::string> local_;
};

// Nothing listens on the port: the session fails at once with a network
// error ("Timeout Error"); nothing is logged or deleted.
TEST_F(UploadFaultTest, ConnectionRefusedFailsTheSession) {
    const int port = unusedPort();
    ASSERT_GT(port, 0);
    auto r = uploadTo("127.0.0.1", port);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 20) << r.describe();
    EXPECT_EQ(onlyErrorLine(), "Timeout Error");
    expectEndedIdle(r);
    EXPECT_EQ(uploadLog().size(), 0u) << show(uploadLog());
    EXPECT_EQ(uploadedNames().size(), 0u);
    expectFailedAndKept("x.jpg", false);
    expectFailedAndKept("y.jpg", false);
}

// A name under "invalid." never resolves (the program answers it without
// asking a name server): "Invalid IP/Host", the local files untouched even
// with --delete-after-upload.
TEST_F(UploadFaultTest, HostNotFoundKeepsTheLocalFiles) {
    auto r = uploadTo("no-such-host.invalid", 21);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 20) << r.describe();
    EXPECT_EQ(onlyErrorLine(), "Invalid IP/Host");
    expectEndedIdle(r);
    EXPECT_EQ(uploadLog().size(), 0u) << show(uploadLog());
    expectFailedAndKept("x.jpg", false);
    expectFailedAndKept("y.jpg", false);
}

// The server resets x.jpg's data connection after 100000 bytes and answers
// 426. Without retries x.jpg fails, stays local and is not remembered; the
// session goes on and y.jpg is stored; no error-log line.
TEST_F(UploadFaultTest, DataResetWithoutRetriesFailsThatFileOnly) {
    put("x.jpg", randomBytes(kLargeFile, 23));
    ASSERT_TRUE(startServer({"--reset-stor-after", "100000", "--fault-file", "x.jpg"}));
    auto r = upload({"--upload-retries", "0", "--delete-after-upload"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 30) << r.describe();
    EXPECT_EQ(countCommands("STOR x.jpg"), 1) << readFile(base_ / "server-commands.log");
    expectFailedAndKept("x.jpg");
    expectPassedAndDeleted("y.jpg");
    EXPECT_EQ(countStartingWith(statusValues(r.out, "caption"), "Ftp Corvantel- Retry Uploading at "), 0)
        << r.describe();
    expectNoErrorLine();
    expectEndedIdle(r);
}

// With one retry allowed, x.jpg (its data connection reset every time) is
// sent twice, then failed; y.jpg is still stored.
TEST_F(UploadFaultTest, DataResetIsRetriedOnceThenFailed) {
    put("x.jpg", randomBytes(kLargeFile, 23));
    // The 426 comes half a second after the reset, so the program meets the
    // reset while sending rather than learning the verdict first.
    ASSERT_TRUE(startServer({"--reset-stor-after", "100000", "--fault-file", "x.jpg", "--reset-stor-reply-delay", "0.5"}));
    auto r = upload({"--upload-retries", "1", "--delete-after-upload"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 30) << r.describe();
    EXPECT_EQ(countCommands("STOR x.jpg"), 2) << readFile(base_ / "server-commands.log");
    EXPECT_EQ(countCommands("STOR y.jpg"), 1) << readFile(base_ / "server-commands.log");
    EXPECT_EQ(countStartingWith(statusValues(r.out, "caption"), "Ftp Corvantel- Retry Uploading at "), 1)
        << r.describe();
    expectFailedAndKept("x.jpg");
    expectPassedAndDeleted("y.jpg");
    expectNoErrorLine();
    expectEndedIdle(r);
}

// Two retries, two large files whose data connections are always reset and
// a small one (below the cut) that goes through: each large file is sent
// three times (the count starts again for the second one), then failed;
// the small one passes.
TEST_F(UploadFaultTest, DataResetIsRetriedTwiceForEachFile) {
    put("x.jpg", randomBytes(kLargeFile, 23));
    put("y.jpg", randomBytes(kLargeFile, 24));
    put("w.jpg", randomBytes(50000, 25));
    ASSERT_TRUE(startServer({"--reset-stor-after", "100000", "--reset-stor-reply-delay", "0.5"}));
    auto r = upload({"--upload-retries", "2", "--delete-after-upload"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 60) << r.describe();
    EXPECT_EQ(countCommands("STOR x.jpg"), 3) << readFile(base_ / "server-commands.log");
    EXPECT_EQ(countCommands("STOR y.jpg"), 3) << readFile(base_ / "server-commands.log");
    EXPECT_EQ(countStartingWith(statusValues(r.out, "caption"), "Ftp Corvantel- Retry Uploading at "), 4)
        << r.describe();
    expectFailedAndKept("x.jpg");
    expectFailedAndKept("y.jpg");
    expectPassedAndDeleted("w.jpg");
    expectEndedIdle(r);
}

// Without retries, a network error on the control connection while a file
// is being sent (the server resets both connections): the job is re-armed
// with " Transfer Failed" in its schedule label, no error-log line, and the
// file fails and stays local.
TEST_F(UploadFaultTest, ControlResetWhileSendingShowsTransferFailed) {
    put("x.jpg", randomBytes(kLargeFile, 23));
    ASSERT_TRUE(startServer({"--reset-stor-after", "100000", "--reset-stor-control", "--fault-file", "x.jpg"}));
    auto r = upload({"--upload-retries", "0", "--delete-after-upload"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 30) << r.describe();
    const std::string label = lastStatus(r, "Label12");
    const std::string failed = " Transfer Failed";
    EXPECT_TRUE(label.size() >= failed.size() && label.compare(label.size() - failed.size(), failed.size(), failed) == 0)
        << "Label12: \"" << label << "\"\n"
        << r.describe();
    expectNoErrorLine();
    expectFailedAndKept("x.jpg");
    expectConsistentOutcome(r);
    expectEndedIdle(r);
}

// The server takes STOR x.jpg and then answers nothing more. The watchdog
// takes the session over after about 220 s of program time (about 4 s
// here) and, with no retry left, logs "Unknown Error"; x.jpg is kept.
TEST_F(UploadFaultTest, SilenceAfterStorIsTakenOverByTheWatchdog) {
    ASSERT_TRUE(startServer({"--silent-after", "STOR", "--fault-file", "x.jpg"}));
    auto r = upload({"--upload-retries", "0", "--delete-after-upload"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    // 200 s of program time at 60 times real speed: not before ~3.3 s.
    EXPECT_GT(r.seconds, 3.0) << r.describe();
    EXPECT_LT(r.seconds, 30.0) << r.describe();
    EXPECT_EQ(onlyErrorLine(), "Unknown Error");
    expectFailedAndKept("x.jpg");
    expectConsistentOutcome(r);
    expectEndedIdle(r);
}

// The server receives all of x.jpg but never sends the reply to its STOR
// (nor anything after). The file is on the server, yet without the server's
// word it does not pass: it is kept locally and not remembered.
TEST_F(UploadFaultTest, StoreNeverConfirmedDoesNotPass) {
    ASSERT_TRUE(startServer({"--withhold-stor-reply", "--fault-file", "x.jpg"}));
    auto r = upload({"--upload-retries", "0", "--delete-after-upload"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 30.0) << r.describe();
    ASSERT_TRUE(fileExists(remote_ / "x.jpg"));
    EXPECT_TRUE(readFile(remote_ / "x.jpg") == local_.at("x.jpg")) << "the server did not get all of x.jpg";
    EXPECT_EQ(onlyErrorLine(), "Unknown Error");
    expectFailedAndKept("x.jpg");
    expectConsistentOutcome(r);
    expectEndedIdle(r);
}

// The server closes the control connection (cleanly) when STOR x.jpg
// arrives, before any data connection is open (it opens them only after a
// transfer command's 150): the session fails without waiting for the
// watchdog, x.jpg fails and is kept, and without retries the job is armed
// again as after a reset.
TEST_F(UploadFaultTest, ControlConnectionClosedOnStorFailsTheSession) {
    ASSERT_TRUE(startServer({"--close-control-after", "STOR", "--fault-file", "x.jpg", "--defer-data-connect"}));
    auto r = upload({"--upload-retries", "0", "--delete-after-upload"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 30.0) << r.describe();
    expectFailedAndKept("x.jpg");
    expectConsistentOutcome(r);
    expectEndedIdle(r);
    // Not a refused login nor an unknown host: the connection was lost, as
    // after a reset during a store (the job is armed again, no log line).
    const std::string label = lastStatus(r, "Label12");
    EXPECT_NE(label.find(" Transfer Failed"), std::string::npos) << label;
    expectNoErrorLine();
}

// STOR x.jpg is answered with a 1 MiB preliminary reply line, then the
// transfer goes on as usual: the program neither hangs nor crashes, and
// whatever it decides agrees with what the server holds.
TEST_F(UploadFaultTest, HugeReplyLineToStorIsSurvived) {
    ASSERT_TRUE(startServer({"--huge-reply-after", "STOR", "--fault-file", "x.jpg"}));
    auto r = upload({"--upload-retries", "0", "--delete-after-upload"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.signal, 0) << r.describe();
    EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.describe();
    EXPECT_LT(r.seconds, 30.0) << r.describe();
    EXPECT_EQ(countCommands("STOR x.jpg"), 1) << readFile(base_ / "server-commands.log");
    expectConsistentOutcome(r);
    expectEndedIdle(r);
    if (r.exitCode == 0) {
        expectPassedAndDeleted("x.jpg");
        expectPassedAndDeleted("y.jpg");
    }
}

// STOR x.jpg is answered with a reply line that never ends, then nothing:
// as good as silence, so the watchdog ends the session.
TEST_F(UploadFaultTest, UnterminatedReplyToStorIsTakenOverByTheWatchdog) {
    ASSERT_TRUE(startServer({"--unterminated-reply-after", "STOR", "--fault-file", "x.jpg"}));
    auto r = upload({"--upload-retries", "0", "--delete-after-upload"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_GT(r.seconds, 3.0) << r.describe();
    EXPECT_LT(r.seconds, 30.0) << r.describe();
    EXPECT_EQ(onlyErrorLine(), "Unknown Error");
    expectFailedAndKept("x.jpg");
    expectConsistentOutcome(r);
    expectEndedIdle(r);
}

// Two sessions in one run; the server is silent after the first STOR
// x.jpg only (--fault-once). The watchdog ends the first session; the
// second one logs in again and stores both files.
TEST_F(UploadFaultTest, NextSessionRunsNormallyAfterAWatchdogTakeOver) {
    ASSERT_TRUE(startServer({"--silent-after", "STOR", "--fault-file", "x.jpg", "--fault-once"}));
    auto r = runCorvantel(concat(concat(uploadOptions("*.jpg"), {"--work-path", work_.string()}),
                                 {"--upload-retries", "0", "--delete-after-upload", "--run-now", "upload",
                                  "--run-now", "upload", "--once"}),
                          90s);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << "the first session failed\n" << r.describe();
    EXPECT_LT(r.seconds, 40.0) << r.describe();
    EXPECT_EQ(countCommands("USER "), 2) << readFile(base_ / "server-commands.log");
    EXPECT_EQ(countCommands("STOR x.jpg"), 2) << readFile(base_ / "server-commands.log");
    EXPECT_EQ(onlyErrorLine(), "Unknown Error");
    auto lx = linesFor(uploadLog(), "x.jpg");
    ASSERT_EQ(lx.size(), 2u) << show(uploadLog());
    EXPECT_EQ(lx[0].result, "fail") << show(uploadLog());
    EXPECT_EQ(lx[1].result, "pass") << show(uploadLog());
    ASSERT_TRUE(fileExists(remote_ / "x.jpg"));
    EXPECT_TRUE(readFile(remote_ / "x.jpg") == local_.at("x.jpg"));
    EXPECT_FALSE(fileExists(work_ / "x.jpg"));
    expectPassedAndDeleted("y.jpg");
    EXPECT_TRUE(contains(uploadedNames(), "x.jpg"));
    expectEndedIdle(r);
}

// The same after a " Transfer Failed" (control connection reset while
// sending, no retries): the job is re-armed, and the next session, asked
// for on the command line, still runs and stores everything; --once still
// ends the program.
TEST_F(UploadFaultTest, NextSessionRunsNormallyAfterATransferFailed) {
    put("x.jpg", randomBytes(kLargeFile, 23));
    ASSERT_TRUE(startServer(
        {"--reset-stor-after", "100000", "--reset-stor-control", "--fault-file", "x.jpg", "--fault-once"}));
    auto r = runCorvantel(concat(concat(uploadOptions("*.jpg"), {"--work-path", work_.string()}),
                                 {"--upload-retries", "0", "--delete-after-upload", "--run-now", "upload",
                                  "--run-now", "upload", "--once"}),
                          90s);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << "the first session failed\n" << r.describe();
    EXPECT_LT(r.seconds, 30.0) << r.describe();
    EXPECT_EQ(countCommands("USER "), 2) << readFile(base_ / "server-commands.log");
    EXPECT_EQ(countCommands("STOR x.jpg"), 2) << readFile(base_ / "server-commands.log");
    auto labels = statusValues(r.out, "Label12");
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(),
                            [](auto& l) { return l.find(" Transfer Failed") != std::string::npos; }))
        << r.describe();
    expectNoErrorLine();
    auto lx = linesFor(uploadLog(), "x.jpg");
    ASSERT_EQ(lx.size(), 2u) << show(uploadLog());
    EXPECT_EQ(lx[0].result, "fail") << show(uploadLog());
    EXPECT_EQ(lx[1].result, "pass") << show(uploadLog());
    ASSERT_TRUE(fileExists(remote_ / "x.jpg"));
    EXPECT_TRUE(readFile(remote_ / "x.jpg") == local_.at("x.jpg"));
    EXPECT_FALSE(fileExists(work_ / "x.jpg"));
    expectPassedAndDeleted("y.jpg");
    expectEndedIdle(r);
}

}  // namespace
}  // namespace corvantel::itest

// End to end: the upload job against the test FTP server on 127.0.0.1.

#include "harness.h"

namespace corvantel::itest {
namespace {

class UploadTest : public IntegrationTest {
protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        x_ = randomBytes(250000, 11);
        y_ = randomBytes(120000, 12);
        writeFile(work_ / "x.jpg", x_);
        writeFile(work_ / "y.jpg", y_);
        writeFile(work_ / "z.txt", "not a picture\r\n");
    }

    // One upload session from work/, run now, then the program ends.
    ProcessResult upload(const std::string& pattern, const std::vector<std::string>& extra = {},
                         const std::string& dir = "/") {
        return runCorvantel(concat(concat(uploadOptions(pattern, dir), {"--work-path", work_.string()}),
                                   concat(extra, {"--run-now", "upload", "--once"})));
    }

    // The remote file holds exactly the local content.
    void expectStored(const std::string& remoteName, const std::string& content) {
        const fs::path p = remote_ / remoteName;
        ASSERT_TRUE(fileExists(p)) << remoteName << " was not stored";
        const std::string got = readFile(p);
        EXPECT_EQ(got.size(), content.size()) << remoteName;
        EXPECT_TRUE(got == content) << remoteName << " differs from the local file";
    }

    std::vector<ZoneLine> uploadLog() const { return readZoneLog(run_ / "fileupl.log"); }

    std::string x_, y_;
};

// The matching files are stored byte for byte, each logged "pass" and
// remembered; the next run stores nothing.
TEST_F(UploadTest, StoresMatchingFilesThenNothingOnTheNextRun) {
    ASSERT_TRUE(startServer());
    auto r = upload("*.jpg");
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    expectStored("x.jpg", x_);
    expectStored("y.jpg", y_);
    EXPECT_EQ(fileNames(remote_), (std::vector<std::string>{"x.jpg", "y.jpg"}));
    EXPECT_EQ(countCommands("STOR "), 2) << readFile(base_ / "server-commands.log");
    // Local files stay unless asked otherwise.
    EXPECT_TRUE(fileExists(work_ / "x.jpg"));

    auto log = uploadLog();
    auto lx = linesFor(log, "x.jpg"), ly = linesFor(log, "y.jpg");
    ASSERT_EQ(lx.size(), 1u) << show(log);
    ASSERT_EQ(ly.size(), 1u) << show(log);
    EXPECT_EQ(lx[0].result, "pass");
    EXPECT_EQ(lx[0].size, "250000");
    EXPECT_EQ(ly[0].result, "pass");
    EXPECT_EQ(ly[0].size, "120000");
    EXPECT_TRUE(linesFor(log, "z.txt").empty()) << show(log);
    auto names = readLines(run_ / "fileupl1.log");
    EXPECT_TRUE(contains(names, "x.jpg")) << readFile(run_ / "fileupl1.log");
    EXPECT_TRUE(contains(names, "y.jpg")) << readFile(run_ / "fileupl1.log");

    auto again = upload("*.jpg");
    ASSERT_FALSE(again.timedOut) << again.describe();
    EXPECT_EQ(again.exitCode, 0) << again.describe();
    EXPECT_EQ(countCommands("STOR "), 2) << "the second run stored again";
    EXPECT_EQ(uploadLog().size(), 2u) << show(uploadLog());
}

// With the duplicate check off the files are stored again.
TEST_F(UploadTest, DupeCheckOffStoresAgain) {
    ASSERT_TRUE(startServer());
    auto r = upload("*.jpg", {"--upload-dupe-check", "off"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    auto again = upload("*.jpg", {"--upload-dupe-check", "off"});
    ASSERT_FALSE(again.timedOut) << again.describe();
    EXPECT_EQ(again.exitCode, 0) << again.describe();
    EXPECT_EQ(countCommands("STOR x.jpg"), 2) << readFile(base_ / "server-commands.log");
    expectStored("x.jpg", x_);
}

// --delete-after-upload removes each local file once it has passed.
TEST_F(UploadTest, DeleteAfterUploadRemovesLocalFilesThatPassed) {
    ASSERT_TRUE(startServer());
    auto r = upload("*.jpg", {"--delete-after-upload"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    expectStored("x.jpg", x_);
    expectStored("y.jpg", y_);
    EXPECT_FALSE(fileExists(work_ / "x.jpg"));
    EXPECT_FALSE(fileExists(work_ / "y.jpg"));
    EXPECT_TRUE(fileExists(work_ / "z.txt"));
}

// --upload-timestamp: the remote name is yyyymmdd_<local name>.
TEST_F(UploadTest, TimestampPrefixesRemoteNamesWithTheDate) {
    ASSERT_TRUE(startServer());
    auto r = upload("*.jpg", {"--upload-timestamp"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    auto names = fileNames(remote_);
    ASSERT_EQ(names.size(), 2u) << ::testing::PrintToString(names);
    const std::regex stamped(R"((\d{4})(\d{2})(\d{2})_([xy])\.jpg)");
    for (auto& n : names) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(n, m, stamped)) << n;
        expectStored(n, m[4] == "x" ? x_ : y_);
    }
}

// A server that refuses STOR (550, read-only user): each file fails on its
// 550 and the next one is tried (no wait for the watchdog); the session
// reports failure; local files stay even with --delete-after-upload.
TEST_F(UploadTest, RefusedStoreFailsEachFileAndKeepsLocalFiles) {
    ASSERT_TRUE(startServer({"--readonly"}));
    auto r = upload("*.jpg", {"--delete-after-upload", "--upload-retries", "0"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_EQ(fileNames(remote_), std::vector<std::string>{});
    EXPECT_TRUE(fileExists(work_ / "x.jpg"));
    EXPECT_TRUE(fileExists(work_ / "y.jpg"));
    EXPECT_EQ(countCommands("STOR x.jpg"), 1) << readFile(base_ / "server-commands.log");
    EXPECT_EQ(countCommands("STOR y.jpg"), 1) << readFile(base_ / "server-commands.log");
    auto log = uploadLog();
    auto lx = linesFor(log, "x.jpg"), ly = linesFor(log, "y.jpg");
    ASSERT_EQ(lx.size(), 1u) << show(log);
    ASSERT_EQ(ly.size(), 1u) << show(log);
    EXPECT_EQ(lx[0].result, "fail");
    EXPECT_EQ(ly[0].result, "fail");
    // The watchdog (silence for ~220 s of program time) was not needed.
    for (auto& line : readLines(run_ / "err_upload.log"))
        EXPECT_EQ(line.find("Unknown Error"), std::string::npos) << line;
    EXPECT_FALSE(contains(readLines(run_ / "fileupl1.log"), "x.jpg"));
    EXPECT_NE(r.out.find(" upload: 0 passed, 2 failed, 0 B in "), std::string::npos) << r.out;
}

// The server never connects for STOR x.jpg: x.jpg fails (and stays local),
// y.jpg is still stored.
TEST_F(UploadTest, DataConnectionNeverOpenedFailsThatFile) {
    ASSERT_TRUE(startServer({"--refuse-stor-data", "--fault-file", "x.jpg"}));
    auto r = upload("*.jpg", {"--delete-after-upload", "--upload-retries", "0"});
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_LT(r.seconds, 60.0) << r.describe();
    expectStored("y.jpg", y_);
    EXPECT_TRUE(fileExists(work_ / "x.jpg"));
    EXPECT_FALSE(fileExists(work_ / "y.jpg"));
    auto log = uploadLog();
    for (auto& z : linesFor(log, "x.jpg")) EXPECT_EQ(z.result, "fail") << show(log);
    ASSERT_FALSE(linesFor(log, "x.jpg").empty()) << show(log);
    auto ly = linesFor(log, "y.jpg");
    ASSERT_EQ(ly.size(), 1u) << show(log);
    EXPECT_EQ(ly[0].result, "pass");
}

// A refused login: exit 1 and "Invalid User/Pass <date> at <time>" in
// err_upload.log; nothing stored.
TEST_F(UploadTest, WrongPasswordIsReportedAsInvalidUserPass) {
    ASSERT_TRUE(startServer());
    auto opts = uploadOptions("*.jpg");
    auto it = std::find(opts.begin(), opts.end(), "--upload-password");
    ASSERT_NE(it, opts.end());
    *(it + 1) = "wrong-password";
    auto r = runCorvantel(concat(opts, {"--work-path", work_.string(), "--run-now", "upload", "--once"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    auto err = readLines(run_ / "err_upload.log");
    ASSERT_EQ(err.size(), 1u) << readFile(run_ / "err_upload.log");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(err[0], m, errLinePattern())) << err[0];
    EXPECT_EQ(m[1].str(), "Invalid User/Pass") << err[0];
    EXPECT_EQ(countCommands("STOR"), 0);
    EXPECT_EQ(fileNames(remote_), std::vector<std::string>{});
}

// An unknown host: "Invalid IP/Host <date> at <time>" in err_upload.log.
TEST_F(UploadTest, HostNotFoundIsReportedAsInvalidHost) {
    auto r = runCorvantel({"--upload-host", "no-such-host.invalid", "--upload-port", "21", "--upload-user", user_,
                           "--upload-password", password_, "--upload-dir", "/", "--upload-pattern", "*.jpg",
                           "--upload-retries", "0", "--work-path", work_.string(), "--run-now", "upload", "--once"},
                          60s);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    auto err = readLines(run_ / "err_upload.log");
    ASSERT_EQ(err.size(), 1u) << readFile(run_ / "err_upload.log");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(err[0], m, errLinePattern())) << err[0];
    EXPECT_EQ(m[1].str(), "Invalid IP/Host") << err[0];
}

// Download then upload in one run: the files fetched from one directory of
// the server are stored into another.
TEST_F(UploadTest, DownloadThenUploadInOneRun) {
    const std::string d = randomBytes(90000, 13);
    writeFile(remote_ / "in" / "d.png", d);
    fs::create_directories(remote_ / "out");
    ASSERT_TRUE(startServer({"--expand-wildcards", "--announce-size"}));
    auto args = concat(downloadOptions("*.png", "/in"), uploadOptions("*.png", "/out"));
    args = concat(args, {"--work-path", work_.string(), "--run-now", "download", "--run-now", "upload", "--once"});
    auto r = runCorvantel(args);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    ASSERT_TRUE(fileExists(work_ / "d.png"));
    EXPECT_TRUE(readFile(work_ / "d.png") == d);
    expectStored("out/d.png", d);
}

}  // namespace
}  // namespace corvantel::itest

// End to end: the download job against the test FTP server on 127.0.0.1.

#include "download_fixture.h"

namespace corvantel::itest {
namespace {

// A server that expands wildcards and announces sizes: exactly the matching
// files are fetched, judged against the announced size, and remembered, so
// that the next run fetches nothing.
TEST_F(DownloadTest, CommonServerFetchesMatchingFilesThenNothingOnTheNextRun) {
    ASSERT_TRUE(startServer({"--expand-wildcards", "--announce-size"}));
    auto r = download("*.jpg");
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();

    // Downloaded files land in the current directory by default.
    expectFetched(run_ / "a.jpg", a_);
    expectFetched(run_ / "b.jpg", b_);
    EXPECT_FALSE(fileExists(run_ / "c.txt"));
    EXPECT_TRUE(sawCommand("NLST *.jpg"));
    EXPECT_EQ(countCommands("RETR "), 2);
    EXPECT_EQ(countCommands("DELE"), 0);

    auto log = sizeLog();
    ASSERT_EQ(log.size(), 2u) << show(log);
    auto la = linesFor(log, "a.jpg"), lb = linesFor(log, "b.jpg");
    ASSERT_EQ(la.size(), 1u) << show(log);
    ASSERT_EQ(lb.size(), 1u) << show(log);
    EXPECT_EQ(la[0].result, "pass");
    EXPECT_EQ(la[0].size, "300000");
    EXPECT_EQ(lb[0].result, "pass");
    EXPECT_EQ(lb[0].size, "200000");
    EXPECT_TRUE(std::regex_match(la[0].date, std::regex(R"(\d{4}/\d{2}/\d{2})"))) << la[0].date;
    EXPECT_TRUE(std::regex_match(la[0].time, std::regex(R"(\d{2}:\d{2}:\d{2} (AM|PM))"))) << la[0].time;
    // A summary line ends the run; no progress line when the output is no terminal.
    const std::regex summary(R"(\n\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} (AM|PM) )"
                             R"(download: 2 passed, 0 failed, 500\.0 kB in \d+\.\d s \(\d+(\.\d)? [kMG]?B/s\)\n)");
    EXPECT_TRUE(std::regex_search(r.out, summary)) << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << r.out;

    auto names = readLines(run_ / "filename2.log");
    EXPECT_TRUE(contains(names, "a.jpg")) << readFile(run_ / "filename2.log");
    EXPECT_TRUE(contains(names, "b.jpg")) << readFile(run_ / "filename2.log");
    EXPECT_FALSE(contains(names, "c.txt"));

    // Same current directory again: both names are known, nothing is fetched.
    auto again = download("*.jpg");
    ASSERT_FALSE(again.timedOut) << again.describe();
    EXPECT_EQ(again.exitCode, 0) << again.describe();
    EXPECT_EQ(countCommands("RETR "), 2) << "the second run fetched again";
    EXPECT_EQ(sizeLog().size(), 2u) << show(sizeLog());
    EXPECT_EQ(countCommands("NLST *.jpg"), 2) << "the second run did not list";
    EXPECT_NE(again.out.find(" download: 0 passed, 0 failed, 0 B in "), std::string::npos) << again.out;
    expectFetched(run_ / "a.jpg", a_);
}

// With the duplicate check off, the same files are fetched again.
TEST_F(DownloadTest, DupeCheckOffFetchesAgain) {
    ASSERT_TRUE(startServer({"--expand-wildcards", "--announce-size"}));
    auto opts = concat(intoWork(), {"--download-dupe-check", "off"});
    auto r = download("*.jpg", opts);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    auto again = download("*.jpg", opts);
    ASSERT_FALSE(again.timedOut) << again.describe();
    EXPECT_EQ(again.exitCode, 0) << again.describe();
    EXPECT_EQ(countCommands("RETR a.jpg"), 2);
    EXPECT_EQ(countCommands("RETR b.jpg"), 2);
    expectFetched(work_ / "a.jpg", a_);
    expectFetched(work_ / "b.jpg", b_);
    auto log = sizeLog();
    EXPECT_EQ(linesFor(log, "a.jpg").size(), 2u) << show(log);
    for (auto& z : log) EXPECT_EQ(z.result, "pass") << show(log);
}

// Stock pyftpdlib refuses "NLST *.jpg" with 550: the listing is empty, so
// nothing is fetched, nothing is judged, and the session itself completed.
// A server that refuses a pattern after NLST (stock pyftpdlib answers 550)
// is asked once more for every name; the pattern is applied by the program.
TEST_F(DownloadTest, StockServerRefusingTheWildcardListingGetsThePlainListing) {
    ASSERT_TRUE(startServer());
    auto r = download("*.jpg", intoWork());
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(sawCommand("NLST *.jpg"));
    EXPECT_TRUE(sawCommand("NLST"));
    expectFetched(work_ / "a.jpg", a_);
    expectFetched(work_ / "b.jpg", b_);
    EXPECT_EQ(fileNames(work_), (std::vector<std::string>{"a.jpg", "b.jpg"}));
    EXPECT_EQ(readLines(run_ / "filename2.log"), (std::vector<std::string>{"a.jpg", "b.jpg"}));
}

// An empty pattern sends a bare "NLST ", which stock pyftpdlib answers with
// every name (after connecting at PORT and answering 125, without a size):
// every file is fetched whole.
TEST_F(DownloadTest, StockServerEmptyPatternFetchesEveryFile) {
    ASSERT_TRUE(startServer());
    auto r = download("", intoWork());
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(sawCommand("NLST ") || sawCommand("NLST")) << readFile(base_ / "server-commands.log");
    expectFetched(work_ / "a.jpg", a_);
    expectFetched(work_ / "b.jpg", b_);
    expectFetched(work_ / "c.txt", "not a picture\r\n");
    EXPECT_EQ(fileNames(work_), (std::vector<std::string>{"a.jpg", "b.jpg", "c.txt"}));
    auto log = sizeLog();
    ASSERT_EQ(log.size(), 3u) << show(log);
    for (auto& z : log) EXPECT_EQ(z.result, "pass") << show(log);
    auto la = linesFor(log, "a.jpg");
    ASSERT_EQ(la.size(), 1u) << show(log);
    EXPECT_EQ(la[0].size, "300000") << "the size column holds the bytes received";
    // Files stay on the server unless asked otherwise.
    EXPECT_TRUE(fileExists(remote_ / "a.jpg"));
    EXPECT_EQ(countCommands("DELE"), 0);
}

// "*" on a server that expands it lists every file.
TEST_F(DownloadTest, StarPatternOnCommonServerFetchesEveryFile) {
    ASSERT_TRUE(startServer({"--expand-wildcards", "--announce-size"}));
    auto r = download("*", intoWork());
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(fileNames(work_), (std::vector<std::string>{"a.jpg", "b.jpg", "c.txt"}));
    expectFetched(work_ / "b.jpg", b_);
    EXPECT_EQ(sizeLog().size(), 3u) << show(sizeLog());
}

// LIST mode: "LIST *.jpg *.JPG", names taken from the long-format lines.
TEST_F(DownloadTest, ListModeFetchesMatchingFiles) {
    ASSERT_TRUE(startServer({"--expand-wildcards", "--announce-size"}));
    auto r = download("*.jpg", concat(intoWork(), {"--list"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(sawCommand("LIST *.jpg *.JPG")) << readFile(base_ / "server-commands.log");
    EXPECT_EQ(countCommands("NLST"), 0);
    expectFetched(work_ / "a.jpg", a_);
    expectFetched(work_ / "b.jpg", b_);
    EXPECT_EQ(fileNames(work_), (std::vector<std::string>{"a.jpg", "b.jpg"}));
    auto log = sizeLog();
    ASSERT_EQ(log.size(), 2u) << show(log);
    for (auto& z : log) EXPECT_EQ(z.result, "pass") << show(log);
    // Logs stay in the current directory, files go to the working directory.
    EXPECT_FALSE(fileExists(run_ / "a.jpg"));
}

// --download-timestamp: the local name is yyyymmdd_<remote name>.
TEST_F(DownloadTest, TimestampPrefixesLocalNamesWithTheDate) {
    ASSERT_TRUE(startServer({"--expand-wildcards", "--announce-size"}));
    auto r = download("*.jpg", concat(intoWork(), {"--download-timestamp"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    auto names = fileNames(work_);
    ASSERT_EQ(names.size(), 2u) << ::testing::PrintToString(names);
    const std::regex stamped(R"((\d{4})(\d{2})(\d{2})_([ab])\.jpg)");
    auto log = sizeLog();
    for (auto& n : names) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(n, m, stamped)) << n;
        expectFetched(work_ / n, m[4] == "a" ? a_ : b_);
        // The stamp is the program's date of the transfer, as in its log.
        auto lines = linesFor(log, m[4].str() + ".jpg");
        if (lines.empty()) lines = linesFor(log, n);
        ASSERT_EQ(lines.size(), 1u) << show(log);
        EXPECT_EQ(lines[0].date, m[1].str() + "/" + m[2].str() + "/" + m[3].str()) << n;
    }
    // The remote names are what is fetched.
    EXPECT_TRUE(sawCommand("RETR a.jpg"));
    EXPECT_TRUE(sawCommand("RETR b.jpg"));
}

// --delete-after-download removes each remote file once it has passed, and
// only then.
TEST_F(DownloadTest, DeleteAfterDownloadRemovesFilesThatPassed) {
    ASSERT_TRUE(startServer({"--expand-wildcards", "--announce-size"}));
    auto r = download("*.jpg", concat(intoWork(), {"--delete-after-download"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    expectFetched(work_ / "a.jpg", a_);
    expectFetched(work_ / "b.jpg", b_);
    EXPECT_FALSE(fileExists(remote_ / "a.jpg"));
    EXPECT_FALSE(fileExists(remote_ / "b.jpg"));
    EXPECT_TRUE(fileExists(remote_ / "c.txt"));
    // Each DELE comes after its file's RETR.
    auto cmds = serverCommands();
    auto pos = [&](const std::string& c) { return std::find(cmds.begin(), cmds.end(), c) - cmds.begin(); };
    ASSERT_TRUE(contains(cmds, "DELE a.jpg")) << readFile(base_ / "server-commands.log");
    ASSERT_TRUE(contains(cmds, "DELE b.jpg")) << readFile(base_ / "server-commands.log");
    EXPECT_LT(pos("RETR a.jpg"), pos("DELE a.jpg"));
    EXPECT_LT(pos("RETR b.jpg"), pos("DELE b.jpg"));
    EXPECT_EQ(countCommands("DELE"), 2);
}

// A refused login: exit 1, "Invalid User/Pass <date> at <time>" in
// err_dload.log, nothing listed or fetched.
TEST_F(DownloadTest, WrongPasswordIsReportedAsInvalidUserPass) {
    ASSERT_TRUE(startServer({"--expand-wildcards", "--announce-size"}));
    auto opts = downloadOptions("*.jpg");
    auto it = std::find(opts.begin(), opts.end(), "--download-password");
    ASSERT_NE(it, opts.end());
    *(it + 1) = "wrong-password";
    auto r = runCorvantel(concat(concat(opts, intoWork()), {"--run-now", "download", "--once"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    auto err = readLines(run_ / "err_dload.log");
    ASSERT_EQ(err.size(), 1u) << readFile(run_ / "err_dload.log");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(err[0], m, errLinePattern())) << err[0];
    EXPECT_EQ(m[1].str(), "Invalid User/Pass") << err[0];
    EXPECT_EQ(countCommands("NLST"), 0);
    EXPECT_EQ(countCommands("RETR"), 0);
    EXPECT_EQ(fileNames(work_), std::vector<std::string>{});
    EXPECT_EQ(sizeLog().size(), 0u);
}

// The remote directory does not exist (CWD answered 550).
TEST_F(DownloadTest, MissingRemoteDirectoryListsTheLoginDirectory) {
    // A refused CWD is not a failure: the session lists and fetches in the
    // directory the server put it in, and PWD is never sent.
    ASSERT_TRUE(startServer({"--expand-wildcards", "--announce-size"}));
    auto r = download("*.jpg", intoWork(), "/no-such-dir");
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_TRUE(sawCommand("CWD /no-such-dir")) << readFile(base_ / "server-commands.log");
    EXPECT_FALSE(sawCommand("PWD"));
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(fileNames(work_), (std::vector<std::string>{"a.jpg", "b.jpg"}));
}

// A subdirectory is reached with CWD and its files fetched.
TEST_F(DownloadTest, FetchesFromASubdirectory) {
    writeFile(remote_ / "pics" / "d.jpg", randomBytes(70000, 4));
    ASSERT_TRUE(startServer({"--expand-wildcards", "--announce-size"}));
    auto r = download("*.jpg", intoWork(), "/pics");
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(fileNames(work_), std::vector<std::string>{"d.jpg"});
    expectFetched(work_ / "d.jpg", randomBytes(70000, 4));
}

// No match: the common server answers "450 No files found" without a data
// connection. Nothing is fetched and the session completed.
TEST_F(DownloadTest, NoMatchingFileEndsCleanly) {
    ASSERT_TRUE(startServer({"--expand-wildcards", "--announce-size"}));
    auto r = download("*.png", intoWork());
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_TRUE(sawCommand("NLST *.png"));
    EXPECT_EQ(countCommands("RETR"), 0);
    EXPECT_EQ(fileNames(work_), std::vector<std::string>{});
    EXPECT_EQ(sizeLog().size(), 0u) << show(sizeLog());
    EXPECT_EQ(readLines(run_ / "err_dload.log").size(), 0u) << readFile(run_ / "err_dload.log");
}

// An empty directory: stock pyftpdlib sends an empty listing (226, no data).
TEST_F(DownloadTest, EmptyDirectoryEndsCleanly) {
    fs::create_directories(remote_ / "empty");
    ASSERT_TRUE(startServer());
    auto r = download("", intoWork(), "/empty");
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    EXPECT_EQ(countCommands("RETR"), 0);
    EXPECT_EQ(fileNames(work_), std::vector<std::string>{});
    EXPECT_EQ(sizeLog().size(), 0u) << show(sizeLog());
}

}  // namespace
}  // namespace corvantel::itest

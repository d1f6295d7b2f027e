// End to end against the FTP servers users run: vsftpd, proftpd and
// pure-ftpd, each started for the test on 127.0.0.1 (real_servers.h). The
// program runs headless with its FTP dialogue traced, which failure
// messages show beside the server's own logs.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <thread>

#include "real_servers.h"

namespace corvantel::itest {
namespace {

using Files = std::map<std::string, std::string>;  // name -> content

class RealServerTest : public IntegrationTest {
protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        // The servers work as the login user, who must reach remote/.
        ::chmod(base_.c_str(), 0755);
        ASSERT_TRUE(RealFtpServer::installed());
    }

    void TearDown() override {
        server_.stop();
        if (HasFailure()) {
            if (!traces_.empty())
                std::cerr << "---- the program's FTP dialogue (CORVANTEL_TRACE) ----\n"
                          << (traces_.size() > 16000 ? "...\n" + traces_.substr(traces_.size() - 16000) : traces_);
            std::cerr << "\n---- the server's logs ----\n" << server_.logs();
        }
        IntegrationTest::TearDown();
    }

    ::testing::AssertionResult start(ServerKind kind) { return server_.start(kind, base_ / "server", remote_); }
    // The address the jobs connect to ("::1" for a server on IPv6).
    std::string host_ = "127.0.0.1";

    // One session of job ("download" or "upload") between work/ and the
    // server's root, run now, then the program ends.
    ProcessResult session(const std::string& job, const std::vector<std::string>& extra = {},
                          const std::string& pattern = "*.jpg") {
        auto args =
            jobOptions(job, server_.port(), RealFtpServer::user(), RealFtpServer::password(), pattern, "/", host_);
        args = concat(concat(args, {"--work-path", work_.string()}), concat(extra, {"--run-now", job, "--once"}));
        ProcessResult r = runCorvantel(args, 120s, {{"CORVANTEL_TRACE", "1"}});
        traces_ += "==== run " + std::to_string(++runs_) + ": " + job + " ====\n" + r.err;
        return r;
    }

    // The exit status and the program's last status lines; its FTP dialogue
    // is shown once, when the test ends, if it failed.
    static std::string brief(const ProcessResult& r) {
        return "exit code " + std::to_string(r.exitCode) + ", " + std::to_string(r.seconds) +
               " s, last status lines:\n" + (r.out.size() > 1200 ? r.out.substr(r.out.size() - 1200) : r.out);
    }

    // dir holds exactly these files, byte for byte.
    static void expectExactly(const fs::path& dir, const Files& files) {
        std::vector<std::string> names;
        for (auto& [name, content] : files) {
            names.push_back(name);
            if (!fileExists(dir / name)) {
                ADD_FAILURE() << name << " is missing from " << dir;
                continue;
            }
            const std::string got = readFile(dir / name);
            EXPECT_EQ(got.size(), content.size()) << name;
            EXPECT_TRUE(got == content) << name << " differs from the original";
        }
        EXPECT_EQ(fileNames(dir), names);
    }

    // The log holds one line per file, each "pass" with the file's size.
    static void expectOnePassEach(const std::vector<ZoneLine>& log, const Files& files) {
        EXPECT_EQ(log.size(), files.size()) << show(log);
        for (auto& [name, content] : files) {
            auto lines = linesFor(log, name);
            ASSERT_EQ(lines.size(), 1u) << name << '\n' << show(log);
            EXPECT_EQ(lines[0].result, "pass") << name << '\n' << show(log);
            EXPECT_EQ(lines[0].size, std::to_string(content.size())) << name << '\n' << show(log);
        }
    }

    RealFtpServer server_;
    std::string traces_;
    int runs_ = 0;
};

const std::vector<ServerKind> kAllServers = {ServerKind::Vsftpd, ServerKind::Proftpd, ServerKind::PureFtpd};

std::string kindName(const ::testing::TestParamInfo<ServerKind>& info) { return toString(info.param); }

// --- the fixture itself

// Logs in on a control connection to 127.0.0.1:port; true once the server
// answered 230 (the session's processes are then all there).
bool logIn(int port, int& fd) {
    fd = connectLoopback(port);
    if (fd < 0) return false;
    const std::string login = "USER " + RealFtpServer::user() + "\r\nPASS " + RealFtpServer::password() + "\r\n";
    if (::send(fd, login.data(), login.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(login.size())) return false;
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (got.find("\n230 ") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        char buf[1024];
        ssize_t n = ::poll(&p, 1, 200) > 0 ? ::recv(fd, buf, sizeof buf, 0) : -1;
        if (n == 0) return false;
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    return got.find("\n230 ") != std::string::npos;
}

bool alive(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

class RealServerFixture : public RealServerTest, public ::testing::WithParamInterface<ServerKind> {};

// Stopping a server with a client logged in ends the master and every
// process of the session, whatever the server forked or detached.
TEST_P(RealServerFixture, StopEndsTheServerAndItsSessions) {
    ASSERT_TRUE(start(GetParam()));
    int fd = -1;
    ASSERT_TRUE(logIn(server_.port(), fd)) << server_.logs();
    const std::vector<pid_t> before = server_.processes();
    EXPECT_GE(before.size(), 2u) << "the master and at least one session process";
    server_.stop();
    for (pid_t pid : before) EXPECT_FALSE(alive(pid)) << "process " << pid << " outlived stop()";
    EXPECT_TRUE(server_.processes().empty());
    ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(RealServer, RealServerFixture, ::testing::ValuesIn(kAllServers), kindName);

// --- download: NLST and LIST listings

enum class Listing { Nlst, List };
void PrintTo(Listing listing, std::ostream* os) { *os << (listing == Listing::List ? "LIST" : "NLST"); }

class RealServerDownload : public RealServerTest,
                           public ::testing::WithParamInterface<std::tuple<ServerKind, Listing>> {
protected:
    void SetUp() override {
        RealServerTest::SetUp();
        // Sizes around the program's 2000-byte pieces: one piece exactly, many
        // with a short last one, less than one. The oldest file is over a
        // year old, so LIST shows its year where the others show a time.
        pictures_ = {{"harbour.jpg", randomBytes(70001, 21)},
                     {"sunrise.jpg", randomBytes(2000, 22)},
                     {"archive.jpg", randomBytes(513, 23)}};
        for (auto& [name, content] : pictures_) writeFile(remote_ / name, content);
        writeFile(remote_ / "notes.txt", "not a picture\r\n");
        fs::last_write_time(remote_ / "archive.jpg", fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    }
    Files pictures_;
};

// The files matching *.jpg are fetched whole, each logged once as passed;
// the other file is left alone; the session completes (exit 0).
TEST_P(RealServerDownload, FetchesTheMatchingFilesByteForByte) {
    const auto [kind, listing] = GetParam();
    ASSERT_TRUE(start(kind));
    auto r =
        session("download", listing == Listing::List ? std::vector<std::string>{"--list"} : std::vector<std::string>{});
    ASSERT_FALSE(r.timedOut) << r.describe();
    // The listing asked for is the one sent.
    const std::string sent = listing == Listing::List ? "download -> LIST" : "download -> NLST";
    const std::string other = listing == Listing::List ? "download -> NLST" : "download -> LIST";
    EXPECT_NE(r.err.find(sent), std::string::npos) << brief(r);
    EXPECT_EQ(r.err.find(other), std::string::npos) << brief(r);

    EXPECT_EQ(r.exitCode, 0) << brief(r);
    expectExactly(work_, pictures_);
    expectOnePassEach(readZoneLog(run_ / "dl_file_size.log"), pictures_);
}

INSTANTIATE_TEST_SUITE_P(RealServer, RealServerDownload,
                         ::testing::Combine(::testing::ValuesIn(kAllServers),
                                            ::testing::Values(Listing::Nlst, Listing::List)),
                         [](const auto& info) {
                             return toString(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) == Listing::List ? "_LIST" : "_NLST");
                         });

// --- more connections per job

// With --parallel 3, twelve files come over three connections (each logs
// in on its own; the first lists), each fetched once and whole, in active
// and passive mode.
class RealServerParallel : public RealServerTest,
                           public ::testing::WithParamInterface<std::tuple<ServerKind, bool>> {};

TEST_P(RealServerParallel, EveryFileOnceOverThreeConnections) {
    const auto [kind, passive] = GetParam();
    ASSERT_TRUE(start(kind));
    Files pictures;
    for (unsigned i = 0; i < 60; ++i) pictures["p" + std::to_string(i) + ".jpg"] = randomBytes(100000 + 997 * i, 60 + i);
    for (auto& [name, content] : pictures) writeFile(remote_ / name, content);
    std::vector<std::string> args = {"--parallel", "3", "--quick"};
    if (passive) args.push_back("--passive");
    auto r = session("download", args);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    expectExactly(work_, pictures);
    expectOnePassEach(readZoneLog(run_ / "dl_file_size.log"), pictures);
    // Each file asked for once, by whichever connection took it.
    for (auto& [name, content] : pictures) {
        const std::string retr = " -> RETR " + name + "\n";
        std::size_t n = 0;
        for (auto at = r.err.find(retr); at != std::string::npos; at = r.err.find(retr, at + 1)) ++n;
        EXPECT_EQ(n, 1u) << name << brief(r);
    }
    // A second connection logged in beside the first (how many files it
    // took depends on how fast the first was).
    EXPECT_NE(r.err.find("download#2 <- 230"), std::string::npos) << brief(r);
    EXPECT_EQ(r.err.find("not logged in"), std::string::npos) << brief(r);
}

// The same for the upload job: sixty local files over three connections.
TEST_P(RealServerParallel, EveryFileStoredOnceOverThreeConnections) {
    const auto [kind, passive] = GetParam();
    ASSERT_TRUE(start(kind));
    Files pictures;
    for (unsigned i = 0; i < 60; ++i) pictures["u" + std::to_string(i) + ".jpg"] = randomBytes(100000 + 991 * i, 160 + i);
    for (auto& [name, content] : pictures) writeFile(work_ / name, content);
    std::vector<std::string> args = {"--parallel", "3", "--quick"};
    if (passive) args.push_back("--passive");
    auto r = session("upload", args);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    expectExactly(remote_, pictures);
    expectOnePassEach(readZoneLog(run_ / "fileupl.log"), pictures);
    for (auto& [name, content] : pictures) {
        const std::string stor = " -> STOR " + name + "\n";
        std::size_t n = 0;
        for (auto at = r.err.find(stor); at != std::string::npos; at = r.err.find(stor, at + 1)) ++n;
        EXPECT_EQ(n, 1u) << name << brief(r);
    }
    EXPECT_NE(r.err.find("upload#2 <- 230"), std::string::npos) << brief(r);
    EXPECT_EQ(r.err.find("not logged in"), std::string::npos) << brief(r);
}

// A server that lets two connections in from one address, asked for four:
// the further ones it refuses (vsftpd and pure-ftpd with 421 at the
// greeting, proftpd by refusing the login) end quietly, and both jobs move
// every file over those it let in. A limit is never a bad password.
class RealServerLimit : public RealServerTest, public ::testing::WithParamInterface<ServerKind> {};

TEST_P(RealServerLimit, FourAskedTwoAllowed) {
    server_.setConnectionLimit(2);
    // (Slow enough that the first connections are still busy when the third
    // asks to come in: about half a second of transfers per connection.)
    server_.setRateLimit(4096);
    ASSERT_TRUE(start(GetParam()));
    Files down, up;
    for (unsigned i = 0; i < 8; ++i) {
        down["d" + std::to_string(i) + ".jpg"] = randomBytes(500000 + 997 * i, 260 + i);
        up["u" + std::to_string(i) + ".jpg"] = randomBytes(500000 + 991 * i, 360 + i);
    }
    for (auto& [name, content] : down) writeFile(remote_ / name, content);
    auto r = session("download", {"--parallel", "4", "--quick", "--passive"}, "d*.jpg");
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    expectExactly(work_, down);
    expectOnePassEach(readZoneLog(run_ / "dl_file_size.log"), down);
    EXPECT_NE(r.err.find("download#2 <- 230"), std::string::npos) << brief(r);
    // The third was refused: a 421 at the greeting, or a 530 to its login.
    EXPECT_TRUE(r.err.find("download#3 <- 421") != std::string::npos ||
                r.err.find("download#3 <- 530") != std::string::npos)
        << brief(r);
    EXPECT_EQ(r.err.find("download#4 -> "), std::string::npos) << brief(r);
    for (auto& f : fs::directory_iterator(work_)) fs::remove(f.path());
    for (auto& [name, content] : up) writeFile(work_ / name, content);
    r = session("upload", {"--parallel", "4", "--quick"}, "u*.jpg");
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    for (auto& [name, content] : down) fs::remove(remote_ / name);
    expectExactly(remote_, up);
    expectOnePassEach(readZoneLog(run_ / "fileupl.log"), up);
    EXPECT_NE(r.err.find("upload#2 <- 230"), std::string::npos) << brief(r);
    for (const char* log : {"err_dload.log", "err_upload.log"})
        EXPECT_FALSE(fileExists(run_ / log)) << readFile(run_ / log);
}

INSTANTIATE_TEST_SUITE_P(RealServer, RealServerLimit, ::testing::ValuesIn(kAllServers), kindName);

INSTANTIATE_TEST_SUITE_P(RealServer, RealServerParallel,
                         ::testing::Combine(::testing::ValuesIn(kAllServers), ::testing::Bool()),
                         [](const auto& info) {
                             return toString(std::get<0>(info.param)) + (std::get<1>(info.param) ? "_passive" : "_active");
                         });

// --- upload

class RealServerUpload : public RealServerTest, public ::testing::WithParamInterface<ServerKind> {
protected:
    // Three pictures for one session (seed picks the contents), with sizes
    // around the program's 2000-byte pieces, and a file that does not match.
    Files writePictures(unsigned seed) {
        Files pictures = {{"harbour.jpg", randomBytes(150001, seed)},
                          {"sunrise.jpg", randomBytes(2000, seed + 1)},
                          {"tiny.jpg", randomBytes(7, seed + 2)}};
        for (auto& [name, content] : pictures) writeFile(work_ / name, content);
        writeFile(work_ / "notes.txt", "not a picture\r\n");
        return pictures;
    }
};

// The matching files are stored byte for byte, each logged once as passed.
TEST_P(RealServerUpload, StoresTheMatchingFilesByteForByte) {
    ASSERT_TRUE(start(GetParam()));
    const Files pictures = writePictures(31);
    auto r = session("upload");
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    expectExactly(remote_, pictures);
    expectOnePassEach(readZoneLog(run_ / "fileupl.log"), pictures);
}

INSTANTIATE_TEST_SUITE_P(RealServer, RealServerUpload, ::testing::ValuesIn(kAllServers), kindName);

// Twenty sessions in a row, each a fresh program run sending three files
// with new contents (the duplicate check off, so every session sends them
// all): every run exits 0, logs three more "pass" lines, and leaves the
// server with exactly this run's contents. Where sessions start to fail,
// the loop ends after a few failed runs to keep their evidence short.
class RealServerRepeatedUploads : public RealServerUpload {};

TEST_P(RealServerRepeatedUploads, TwentySessionsAllPass) {
    ASSERT_TRUE(start(GetParam()));
    constexpr int kRuns = 20;
    // Failed assertions so far in this test.
    auto failures = [] {
        return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    };
    int failedRuns = 0;
    for (int run = 0; run < kRuns && failedRuns < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run + 1) + " of " + std::to_string(kRuns));
        const Files pictures = writePictures(100 + 10 * static_cast<unsigned>(run));
        const int failuresBefore = failures();
        auto r = session("upload", {"--upload-dupe-check", "off"});
        ASSERT_FALSE(r.timedOut) << r.describe();
        EXPECT_EQ(r.exitCode, 0) << brief(r);
        expectExactly(remote_, pictures);
        auto log = readZoneLog(run_ / "fileupl.log");
        ASSERT_EQ(log.size(), 3u * static_cast<std::size_t>(run + 1)) << show(log);
        expectOnePassEach(std::vector<ZoneLine>(log.end() - 3, log.end()), pictures);
        if (failures() > failuresBefore) ++failedRuns;
    }
}

INSTANTIATE_TEST_SUITE_P(RealServer, RealServerRepeatedUploads,
                         ::testing::Values(ServerKind::Proftpd, ServerKind::PureFtpd), kindName);

// --- proven transfers: --verify, --resume and --settle on every server

class RealServerVerified : public RealServerTest,
                           public ::testing::WithParamInterface<std::tuple<ServerKind, bool>> {};

// A download with --verify --resume, where 60 % of one file is already kept
// from a cut attempt: only the rest is asked for (REST), and every file is
// proven by SIZE and, where the server offers one (proftpd's mod_digest), a
// checksum. Then an upload with --verify --settle: a file written a moment
// ago waits for a later run; the others are proven the same way.
TEST_P(RealServerVerified, DownloadAndUploadProvenByTheServer) {
    const auto [kind, passive] = GetParam();
    ASSERT_TRUE(start(kind));
    // Passive mode: the questions go between the data connection's opening
    // and the command that uses it.
    const std::vector<std::string> mode = passive ? std::vector<std::string>{"--passive"} : std::vector<std::string>{};
    const Files down = {{"harbour.jpg", randomBytes(70001, 61)}, {"tiny.jpg", randomBytes(7, 62)}};
    for (auto& [name, content] : down) writeFile(remote_ / name, content);
    // The part's name holds what the server stated of the file when it was
    // kept (its size and time): it is resumed only against that copy.
    const std::time_t kept = std::time(nullptr) - 7200;
    const struct timespec times[2] = {{kept, 0}, {kept, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (remote_ / "harbour.jpg").c_str(), times, 0), 0);
    writeFile(work_ / (".harbour.jpg.r70001-" + std::to_string(kept) + "-Kept0Part0.corvantel-part"),
              down.at("harbour.jpg").substr(0, 42000));
    auto r = session("download", concat(mode, {"--verify", "--resume"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    expectExactly(work_, down);
    expectOnePassEach(readZoneLog(run_ / "dl_file_size.log"), down);
    EXPECT_NE(r.err.find("download -> REST 42000"), std::string::npos);
    EXPECT_NE(r.err.find("download -> SIZE harbour.jpg"), std::string::npos);

    for (auto& [name, content] : down) fs::remove(remote_ / name);
    for (auto& [name, content] : down) fs::remove(work_ / name);
    const Files up = {{"harbour.jpg", randomBytes(150001, 63)}, {"tiny.jpg", randomBytes(7, 64)}};
    for (auto& [name, content] : up) {
        writeFile(work_ / name, content);
        fs::last_write_time(work_ / name, fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    writeFile(work_ / "fresh.jpg", "still being written");
    // (The program's clock runs 60 times faster in these runs: 600 seconds
    // are ten real ones, however busy the machine.)
    r = session("upload", concat(mode, {"--verify", "--settle", "600"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    expectExactly(remote_, up);
    expectOnePassEach(readZoneLog(run_ / "fileupl.log"), up);
    EXPECT_TRUE(fileExists(work_ / "fresh.jpg"));
    EXPECT_NE(r.err.find("upload -> SIZE harbour.jpg"), std::string::npos);

    // What the server offered, and the checksum where it offers one.
    const bool digest = kind == ServerKind::Proftpd;
    for (const char* job : {"download", "upload"})
        EXPECT_EQ(traces_.find(std::string(job) + " -> XSHA512 harbour.jpg") != std::string::npos ||
                      traces_.find(std::string(job) + " -> HASH harbour.jpg") != std::string::npos,
                  digest)
            << job;
    EXPECT_FALSE(fileExists(run_ / "err_dload.log") && readFile(run_ / "err_dload.log").find("Not Verified") !=
                                                           std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(RealServer, RealServerVerified,
                         ::testing::Combine(::testing::ValuesIn(kAllServers), ::testing::Bool()),
                         [](const auto& info) {
                             return toString(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "_passive" : "_active");
                         });

// --- passive mode on every server, and both modes over IPv6 (vsftpd on ::1);
// on every server in both modes, names with a number in parentheses and
// text files in ASCII type

// What a row moves. Numbered: pictures whose names hold a number in
// parentheses, fetched with --delete-after-download; vsftpd and proftpd
// repeat the name in their 150 before the file's size ("150 Opening BINARY
// mode data connection for scan (1024).jpg (5000 bytes)"), pure-ftpd
// states none or "4.9 kbytes to download". Text: text files with LF line
// ends in ASCII type (TYPE A); all three servers send them with CR LF line
// ends, and vsftpd's and proftpd's 150 states the size on their disk.
enum class Payload { Pictures, Numbered, Text };

struct DataMode {
    ServerKind kind;
    bool passive;
    bool ipv6;
    Payload payload = Payload::Pictures;
};
// "numbered", "ascii" or nothing for pictures (in test names).
std::string toString(Payload p) { return p == Payload::Numbered ? "numbered" : p == Payload::Text ? "ascii" : ""; }
void PrintTo(const DataMode& m, std::ostream* os) {
    *os << toString(m.kind) << (m.passive ? " passive" : " active") << (m.ipv6 ? " IPv6" : "")
        << (m.payload == Payload::Pictures ? "" : " " + toString(m.payload));
}

// Lines of text with LF ends, about `bytes` long, different for each seed.
std::string textWithLf(std::size_t bytes, unsigned seed) {
    std::string t;
    for (unsigned line = 1; t.size() < bytes; ++line)
        t += "line " + std::to_string(line) + " of text " + std::to_string(seed) +
             ": the quick brown fox jumps over the lazy dog (" + std::to_string(line * seed) + ")\n";
    return t;
}

// The text as a server sends it in ASCII type: every LF as CR LF.
std::string withCrLf(const std::string& text) {
    std::string t;
    for (char c : text) {
        if (c == '\n') t += '\r';
        t += c;
    }
    return t;
}

class RealServerDataMode : public RealServerTest, public ::testing::WithParamInterface<DataMode> {};

// A download and an upload session: the same files byte for byte (in ASCII
// type, the download as the server converts it), one "pass" each, exit 0,
// with the data connections set up the mode's way.
TEST_P(RealServerDataMode, DownloadAndUploadByteForByte) {
    const DataMode m = GetParam();
    if (m.ipv6) {
        server_.setIPv6(true);
        host_ = "::1";
    }
    ASSERT_TRUE(start(m.kind));
    std::vector<std::string> options = m.passive ? std::vector<std::string>{"--passive"} : std::vector<std::string>{};
    std::string pattern = "*.jpg";
    // On the server before the download, and what the local copies must hold.
    Files down, fetched;
    // In the work folder before the upload (the server's copies must equal it).
    Files up;
    switch (m.payload) {
        case Payload::Pictures:
            down = {{"harbour.jpg", randomBytes(70001, 41)}, {"tiny.jpg", randomBytes(7, 42)}};
            up = {{"harbour.jpg", randomBytes(150001, 43)}, {"tiny.jpg", randomBytes(7, 44)}};
            fetched = down;
            break;
        case Payload::Numbered:
            // Each number differs from the size: smaller (the copy would be
            // cut short if it were taken for one), and larger.
            down = {{"IMG_0001 (1).jpg", randomBytes(3000, 45)},
                    {"scan (1024).jpg", randomBytes(5000, 46)},
                    {"copy (99999).jpg", randomBytes(2000, 47)}};
            up = {{"IMG_0001 (1).jpg", randomBytes(3001, 48)},
                  {"scan (1024).jpg", randomBytes(5001, 49)},
                  {"copy (99999).jpg", randomBytes(2001, 50)}};
            fetched = down;
            options.push_back("--delete-after-download");
            break;
        case Payload::Text:
            pattern = "*.txt";
            down = {{"notes.txt", textWithLf(4000, 1)}, {"short.txt", "one line\n"}};
            up = {{"notes.txt", textWithLf(6000, 2)}, {"short.txt", "another line\n"}};
            for (auto& [name, content] : down) fetched[name] = withCrLf(content);
            options.push_back("--ascii");
            break;
    }

    for (auto& [name, content] : down) writeFile(remote_ / name, content);
    auto r = session("download", options, pattern);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    expectExactly(work_, fetched);
    expectOnePassEach(readZoneLog(run_ / "dl_file_size.log"), fetched);
    if (m.payload == Payload::Numbered)
        for (auto& [name, content] : fetched) {
            // Deleted on the server once its copy passed, and only then.
            const bool whole = fileExists(work_ / name) && readFile(work_ / name) == content;
            if (whole) {
                EXPECT_FALSE(fileExists(remote_ / name)) << name << " passed but is still on the server";
            } else {
                EXPECT_TRUE(fileExists(remote_ / name)) << name << " was deleted on the server without a whole copy";
            }
        }

    for (auto& [name, content] : down) fs::remove(remote_ / name);
    for (auto& [name, content] : up) writeFile(work_ / name, content);
    r = session("upload", options, pattern);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    // Sent with the local LF line ends, which the servers store as they are.
    expectExactly(remote_, up);
    expectOnePassEach(readZoneLog(run_ / "fileupl.log"), up);

    const std::string setup = m.passive ? "-> EPSV" : m.ipv6 ? "-> EPRT |2|::1|" : "-> PORT ";
    EXPECT_NE(traces_.find(setup), std::string::npos);
    if (m.passive || m.ipv6) {
        EXPECT_EQ(traces_.find("-> PORT "), std::string::npos);
    }
    // ASCII type throughout: the files go in TYPE A like the listings.
    if (m.payload == Payload::Text) {
        EXPECT_EQ(traces_.find("-> TYPE I"), std::string::npos);
    }
}

std::vector<DataMode> dataModes() {
    std::vector<DataMode> modes = {{ServerKind::Vsftpd, true, false},
                                   {ServerKind::Proftpd, true, false},
                                   {ServerKind::PureFtpd, true, false},
                                   {ServerKind::Vsftpd, false, true},
                                   {ServerKind::Vsftpd, true, true}};
    for (ServerKind kind : kAllServers)
        for (Payload payload : {Payload::Numbered, Payload::Text})
            for (bool passive : {false, true}) modes.push_back({kind, passive, false, payload});
    return modes;
}

INSTANTIATE_TEST_SUITE_P(RealServer, RealServerDataMode, ::testing::ValuesIn(dataModes()), [](const auto& info) {
    return toString(info.param.kind) + (info.param.passive ? "_passive" : "_active") +
           (info.param.ipv6 ? "_ipv6" : "") +
           (info.param.payload == Payload::Pictures ? "" : "_" + toString(info.param.payload));
});

}  // namespace
}  // namespace corvantel::itest

namespace corvantel::itest {
namespace {

// --- FTPS against vsftpd with TLS forced for logins and data, its
// certificate made at test time by a CA made at test time.

// 0: active mode, 1: passive, 2: passive over three connections per job
// (each data connection must resume its own control connection's session).
class RealServerTls : public RealServerTest, public ::testing::WithParamInterface<int> {};

// A download and an upload session of 50 files each with TLS 1.3 against
// a vsftpd that requires every data connection to resume the control
// connection's session (and accepts each TLS 1.3 ticket once), and over
// three connections against pure-ftpd with TLS required for logins and
// data: byte-identical copies, one "pass" each, exit 0, and the dialogue
// went through AUTH TLS, PBSZ, PROT.
TEST_P(RealServerTls, DownloadAndUploadByteForByte) {
    const bool passive = GetParam() > 0;
    const bool parallel = GetParam() >= 2;
    const fs::path certs = base_ / "certs";
    ASSERT_TRUE(makeCertificates(certs)) << "openssl could not make the test certificates";
    server_.setTls(certs / "server.pem", certs / "server.key");
    ASSERT_TRUE(start(GetParam() == 3 ? ServerKind::PureFtpd : ServerKind::Vsftpd));
    std::vector<std::string> mode = {"--tls-ca", (certs / "ca.pem").string()};
    if (passive) mode.push_back("--passive");
    if (parallel) mode.insert(mode.end(), {"--parallel", "3"});
    auto fifty = [](Files files, std::uint32_t seed) {
        for (std::uint32_t i = 0; files.size() < 50; ++i)
            files["n" + std::to_string(i) + ".jpg"] = randomBytes(100 + 37 * i, seed + i);
        return files;
    };

    const Files down = fifty({{"harbour.jpg", randomBytes(70001, 51)}, {"tiny.jpg", randomBytes(7, 52)}}, 100);
    for (auto& [name, content] : down) writeFile(remote_ / name, content);
    auto r = session("download", concat(mode, {"--download-tls"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    expectExactly(work_, down);
    expectOnePassEach(readZoneLog(run_ / "dl_file_size.log"), down);
    if (parallel) EXPECT_NE(r.err.find("download#2 -> PROT P"), std::string::npos) << brief(r);

    for (auto& [name, content] : down) fs::remove(remote_ / name);
    for (auto& [name, content] : down) fs::remove(work_ / name);
    const Files up = fifty({{"harbour.jpg", randomBytes(150001, 53)}, {"tiny.jpg", randomBytes(7, 54)}}, 200);
    for (auto& [name, content] : up) writeFile(work_ / name, content);
    r = session("upload", concat(mode, {"--upload-tls"}));
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    expectExactly(remote_, up);
    expectOnePassEach(readZoneLog(run_ / "fileupl.log"), up);
    if (parallel) EXPECT_NE(r.err.find("upload#2 -> PROT P"), std::string::npos) << brief(r);

    for (const char* sent : {"-> AUTH TLS", "-> PBSZ 0", "-> PROT P", "-> PASS ****",
                             "download: control connection on TLSv1.3", "upload: control connection on TLSv1.3"})
        EXPECT_NE(traces_.find(sent), std::string::npos) << sent;
    EXPECT_EQ(traces_.find("-> PASS " + RealFtpServer::password()), std::string::npos);
    EXPECT_EQ(traces_.find("<- 522 "), std::string::npos) << "a data connection was not resumed";
}

std::string tlsRowName(const ::testing::TestParamInfo<int>& info) {
    static const char* const names[] = {"active", "passive", "passive_parallel", "pureftpd_passive_parallel"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(RealServer, RealServerTls, ::testing::Values(0, 1, 2, 3), tlsRowName);

// --- uploads under a temporary name

// On each server (and proftpd with AllowOverwrite off): a first upload, a
// replacement of files the server holds, and an upload continued from the
// copy a cut attempt left; each file is stored as NAME.part and renamed into
// place once proven, and nothing but the files is left on the server.
class RealServerTempName : public RealServerTest, public ::testing::WithParamInterface<int> {};

TEST_P(RealServerTempName, FirstReplacementAndResumedUploads) {
    const ServerKind kind = GetParam() == 3 ? ServerKind::Proftpd : kAllServers[static_cast<std::size_t>(GetParam())];
    if (GetParam() == 3) server_.setNoOverwrite();
    ASSERT_TRUE(start(kind));
    const std::vector<std::string> options = {"--upload-temp-name", "--verify", "--resume", "--upload-dupe-check",
                                              "off"};
    const fs::path errors = run_ / "err_upload.log";
    for (unsigned round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Files up = {{"harbour.jpg", randomBytes(150001, 71 + round)}, {"tiny.jpg", randomBytes(7, 81 + round)}};
        for (auto& [name, content] : up) writeFile(work_ / name, content);
        if (round == 2) {
            // A cut attempt left the first 60000 bytes, recorded against the
            // local file as it stands.
            writeFile(remote_ / "harbour.jpg.part", up.at("harbour.jpg").substr(0, 60000));
            // (The server's user writes on it.)
            fs::permissions(remote_ / "harbour.jpg.part", fs::perms::owner_read | fs::perms::owner_write |
                                                              fs::perms::group_read | fs::perms::group_write |
                                                              fs::perms::others_read | fs::perms::others_write);
            struct stat st {};
            ASSERT_EQ(::stat((work_ / "harbour.jpg").c_str(), &st), 0);
            writeFile(run_ / "upl_parts.log",
                      "150001\t" + std::to_string(std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec) +
                          "\tS\tharbour.jpg.part\r\n");
        }
        const auto before = fileExists(errors) ? readFile(errors) : std::string();
        auto r = session("upload", options);
        ASSERT_FALSE(r.timedOut) << r.describe();
        if (round == 2 && GetParam() == 3) {
            // proftpd stores nothing over a file it holds, after REST too:
            // that attempt fails, the copy is kept, and APPE continues it.
            EXPECT_EQ(r.exitCode, 1) << brief(r);
            EXPECT_TRUE(fileExists(remote_ / "harbour.jpg.part"));
            r = session("upload", options);
            ASSERT_FALSE(r.timedOut) << r.describe();
        }
        EXPECT_EQ(r.exitCode, 0) << brief(r);
        expectExactly(remote_, up);
        auto log = readZoneLog(run_ / "fileupl.log");
        expectOnePassEach(std::vector<ZoneLine>(log.end() - 2, log.end()), up);
        EXPECT_NE(r.err.find("upload -> STOR tiny.jpg.part"), std::string::npos);
        EXPECT_NE(r.err.find("upload -> RNTO harbour.jpg"), std::string::npos);
        const std::string said = (fileExists(errors) ? readFile(errors) : std::string()).substr(before.size());
        // A server that renames over an existing file needs no replacement
        // step; one that does not gets the old copy moved aside first.
        EXPECT_EQ(said.find("Replaced:") != std::string::npos, round > 0 && GetParam() == 3) << said;
        std::cout << "[ server   ] " << (GetParam() == 3 ? "proftpd_no_overwrite" : toString(kind)) << " round "
                  << round << ": "
                  << (said.find("Replaced:") != std::string::npos ? "moved the old copy aside" : "renamed in place")
                  << "\n";
        if (round == 2)
            EXPECT_TRUE(r.err.find("upload -> REST 60000") != std::string::npos ||
                        r.err.find("upload -> APPE harbour.jpg.part") != std::string::npos);
    }
    EXPECT_FALSE(fileExists(run_ / "upl_parts.log"));
}

INSTANTIATE_TEST_SUITE_P(RealServer, RealServerTempName, ::testing::Values(0, 1, 2, 3), [](const auto& info) {
    return info.param == 3 ? std::string("proftpd_no_overwrite")
                           : toString(kAllServers[static_cast<std::size_t>(info.param)]);
});
// A true cut: the server throttled, the program stopped by SIGTERM while it
// sends. The copy left is recorded and continued by the next run.
class RealServerTempCut : public RealServerTest, public ::testing::WithParamInterface<ServerKind> {};

TEST_P(RealServerTempCut, StoppedMidFileThenContinued) {
    server_.setRateLimit(512);
    ASSERT_TRUE(start(GetParam()));
    const Files up = {{"harbour.jpg", randomBytes(1 << 20, 91)}};
    writeFile(work_ / "harbour.jpg", up.at("harbour.jpg"));
    const std::vector<std::string> options = {"--upload-temp-name", "--resume"};
    auto args = concat({CORVANTEL_BINARY, "--headless"}, jobOptions("upload", server_.port(), RealFtpServer::user(),
                                                                    RealFtpServer::password(), "*.jpg", "/", host_));
    args = concat(concat(args, {"--work-path", work_.string()}), concat(options, {"--run-now", "upload", "--once"}));
    // (With the program's waits as short as the other runs have them.)
    ::setenv("CORVANTEL_TIME_SCALE", "60", 1);
    const pid_t pid = spawnSessionLeader(args, run_, base_ / "cut.log");
    ::unsetenv("CORVANTEL_TIME_SCALE");
    ASSERT_GT(pid, 0);
    const fs::path copy = remote_ / "harbour.jpg.part";
    for (int i = 0; i < 500 && !(fileExists(copy) && fs::file_size(copy) > 100000); ++i)
        std::this_thread::sleep_for(20ms);
    ::kill(pid, SIGTERM);
    ASSERT_TRUE(waitForExit(pid, 20s)) << readFile(base_ / "cut.log");
    ASSERT_TRUE(fileExists(copy));
    const auto cut = fs::file_size(copy);
    EXPECT_LT(cut, up.at("harbour.jpg").size());
    EXPECT_FALSE(fileExists(remote_ / "harbour.jpg"));
    EXPECT_TRUE(fileExists(run_ / "upl_parts.log"));

    auto r = session("upload", options);
    ASSERT_FALSE(r.timedOut) << r.describe();
    EXPECT_EQ(r.exitCode, 0) << brief(r);
    expectExactly(remote_, up);
    EXPECT_TRUE(r.err.find("upload -> REST ") != std::string::npos ||
                r.err.find("upload -> APPE harbour.jpg.part") != std::string::npos);
    EXPECT_FALSE(fileExists(run_ / "upl_parts.log"));
}

INSTANTIATE_TEST_SUITE_P(RealServer, RealServerTempCut, ::testing::ValuesIn(kAllServers), kindName);

}  // namespace
}  // namespace corvantel::itest

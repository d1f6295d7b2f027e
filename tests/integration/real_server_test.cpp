// End to end against the FTP servers users run: vsftpd, proftpd and
// pure-ftpd, each started for the test on 127.0.0.1 (real_servers.h). The
// program runs headless with its FTP dialogue traced, which failure
// messages show beside the server's own logs.

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

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

    // One session of job ("download" or "upload") between work/ and the
    // server's root, run now, then the program ends.
    ProcessResult session(const std::string& job, const std::vector<std::string>& extra = {}) {
        auto args = jobOptions(job, server_.port(), RealFtpServer::user(), RealFtpServer::password(), "*.jpg", "/");
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

}  // namespace
}  // namespace corvantel::itest

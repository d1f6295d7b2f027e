#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace corvantel::itest {

namespace {

using Clock = std::chrono::steady_clock;

// argv / envp arrays built before fork(): the child only calls
// async-signal-safe functions.
struct CStrings {
    std::vector<std::string> owned;
    std::vector<char*> ptrs;
    explicit CStrings(std::vector<std::string> v) : owned(std::move(v)) {
        for (auto& s : owned) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    char** get() { return ptrs.data(); }
};

std::vector<std::string> environmentWith(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        bool overridden = std::any_of(extra.begin(), extra.end(), [&](auto& kv) { return kv.first == key; });
        if (!overridden) env.push_back(entry);
    }
    for (auto& [k, v] : extra) env.push_back(k + "=" + v);
    return env;
}

// Waits for pid until the deadline; true when it was reaped.
bool waitUntil(pid_t pid, int& status, Clock::time_point deadline) {
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true;  // not our child any more
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

void killGroupAndReap(pid_t pid, int& status) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

std::string tail(const std::string& s, std::size_t n) {
    return s.size() <= n ? s : "...(" + std::to_string(s.size() - n) + " bytes cut)...\n" + s.substr(s.size() - n);
}

}  // namespace

std::string ProcessResult::describe() const {
    std::ostringstream o;
    o << "exit code " << exitCode;
    if (signal) o << ", signal " << signal;
    if (timedOut) o << ", KILLED AT ITS DEADLINE";
    if (exitCode == 127 && out.empty() && err.empty()) o << " (the program could not be started)";
    o << ", " << seconds << " s\n--- stdout ---\n" << tail(out, 6000) << "--- stderr ---\n" << tail(err, 3000);
    return o.str();
}

ProcessResult runProcess(const std::vector<std::string>& argv, const fs::path& cwd,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         std::chrono::milliseconds timeout) {
    ProcessResult result;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    if (::pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    CStrings args(argv);
    CStrings envp(environmentWith(env));
    const std::string dir = cwd.string();
    const auto start = Clock::now();

    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test binary
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execve(args.get()[0], args.get(), envp.get());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    ::close(outPipe[1]);
    ::close(errPipe[1]);

    const auto deadline = start + timeout;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 200)));
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
            if (r > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(r));
            } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    if (result.timedOut || !waitUntil(pid, status, deadline)) {
        result.timedOut = true;
        killGroupAndReap(pid, status);
    }
    for (auto& f : fds)
        if (f.fd >= 0) ::close(f.fd);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

pid_t spawnSessionLeader(const std::vector<std::string>& argv, const fs::path& cwd, const fs::path& logFile) {
    CStrings args(argv);
    CStrings envp(environmentWith({}));
    const std::string dir = cwd.string();
    const std::string logPath = logFile.string();
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execve(args.get()[0], args.get(), envp.get());
        ::_exit(127);
    }
    return pid;
}

bool waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    int status = 0;
    return waitUntil(pid, status, Clock::now() + timeout);
}

// --- FtpServer

::testing::AssertionResult FtpServer::start(const std::vector<std::string>& args, const fs::path& stderrFile) {
    stop();
    int inPipe[2], outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0)
        return ::testing::AssertionFailure() << "pipe2 failed";
    std::vector<std::string> argv = {"/usr/bin/python3", FTP_SERVER_SCRIPT};
    argv.insert(argv.end(), args.begin(), args.end());
    CStrings cargs(argv);
    CStrings envp(environmentWith({{"PYTHONUNBUFFERED", "1"}, {"PYTHONDONTWRITEBYTECODE", "1"}}));
    const std::string errPath = stderrFile.string();

    pid_t pid = ::fork();
    if (pid < 0) return ::testing::AssertionFailure() << "fork failed";
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(inPipe[0], 0);
        ::dup2(outPipe[1], 1);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (err >= 0) ::dup2(err, 2);
        ::execve(cargs.get()[0], cargs.get(), envp.get());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    pid_ = pid;
    stdinFd_ = inPipe[1];

    // The first line is "PORT n".
    std::string line;
    const auto deadline = Clock::now() + 20s;
    bool done = false;
    while (!done) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{outPipe[0], POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        char c;
        ssize_t r = ::read(outPipe[0], &c, 1);
        if (r <= 0) break;
        if (c == '\n')
            done = true;
        else
            line += c;
    }
    ::close(outPipe[0]);
    if (!done || line.rfind("PORT ", 0) != 0) {
        stop();
        return ::testing::AssertionFailure() << "the FTP server did not report its port (got \"" << line
                                             << "\"); its stderr:\n"
                                             << readFile(stderrFile);
    }
    port_ = std::atoi(line.c_str() + 5);
    if (port_ <= 0) {
        stop();
        return ::testing::AssertionFailure() << "bad port line: " << line;
    }
    return ::testing::AssertionSuccess();
}

void FtpServer::stop() {
    if (stdinFd_ >= 0) {
        ::close(stdinFd_);
        stdinFd_ = -1;
    }
    if (pid_ > 0) {
        int status = 0;
        ::kill(pid_, SIGTERM);
        if (!waitUntil(pid_, status, Clock::now() + 5s)) killGroupAndReap(pid_, status);
        ::kill(-pid_, SIGKILL);  // anything it may have left in its group
        pid_ = -1;
    }
    port_ = 0;
}

// --- files

bool fileExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    if (!in) return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> readLines(const fs::path& p) {
    std::vector<std::string> lines;
    std::string text = readFile(p);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return lines;
}

void writeFile(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

bool makeCertificates(const fs::path& dir) {
    fs::create_directories(dir);
    const std::string d = dir.string();
    const std::string script =
        "cd '" + d + "' && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
        "-subj '/CN=Corvantel test CA' && "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj '/CN=127.0.0.1' && "
        "printf 'subjectAltName=IP:127.0.0.1\\n' > ext.cnf && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile ext.cnf";
    return std::system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
}

std::string randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xff);
    return s;
}

std::vector<std::string> fileNames(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(dir, ec))
        if (e.is_regular_file()) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

int unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return 0;
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

int connectLoopback(int port, bool ipv6) {
    if (ipv6) {
        int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(static_cast<std::uint16_t>(port));
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        if (fd >= 0) ::close(fd);
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

std::vector<ZoneLine> readZoneLog(const fs::path& p) {
    std::vector<ZoneLine> out;
    for (auto& line : readLines(p)) {
        std::istringstream in(line);
        std::vector<std::string> tok;
        for (std::string t; in >> t;) tok.push_back(t);
        if (tok.empty()) continue;
        ZoneLine z;
        if (tok.size() >= 6) {
            z.date = tok[0];
            z.time = tok[1] + " " + tok[2];
            z.result = tok.back();
            // Between the time and the result: the name, which may hold
            // blanks of its own, then the size, one number or "Unknown File
            // Size". Cut from the line itself, so the name keeps its blanks.
            std::size_t from = 0;
            for (int i = 0; i < 3; ++i) from = line.find_first_not_of(' ', line.find(tok[i], from) + tok[i].size());
            std::string middle = line.substr(from, line.rfind(z.result) - from);
            middle.erase(middle.find_last_not_of(' ') + 1);
            const std::string unknown = "Unknown File Size";
            const bool unknownSize = middle.size() > unknown.size() && middle.ends_with(unknown);
            const std::size_t sizeAt = unknownSize ? middle.size() - unknown.size() : middle.rfind(' ') + 1;
            z.size = middle.substr(sizeAt);
            z.name = middle.substr(0, sizeAt);
            z.name.erase(z.name.find_last_not_of(' ') + 1);
        } else {
            z.name = line;  // malformed: keep it visible in failure messages
        }
        out.push_back(z);
    }
    return out;
}

std::vector<ZoneLine> linesFor(const std::vector<ZoneLine>& log, const std::string& name) {
    std::vector<ZoneLine> out;
    for (auto& z : log)
        if (z.name == name) out.push_back(z);
    return out;
}

std::string show(const std::vector<ZoneLine>& log) {
    std::string s;
    for (auto& z : log) s += "[" + z.date + "|" + z.time + "|" + z.name + "|" + z.size + "|" + z.result + "]\n";
    return s;
}

const std::regex& errLinePattern() {
    static const std::regex re(R"(^(.+) (\d{4})/(\d{2})/(\d{2}) at (\d{2}):(\d{2}):(\d{2}) (AM|PM)$)");
    return re;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool contains(const std::vector<std::string>& v, const std::string& x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

// --- fixture

void IntegrationTest::SetUp() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/corvantel-it-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr) << std::strerror(errno);
    base_ = templ;
    run_ = base_ / "run";
    work_ = base_ / "work";
    remote_ = base_ / "remote";
    fs::create_directories(run_);
    fs::create_directories(work_);
    fs::create_directories(remote_);
}

void IntegrationTest::TearDown() {
    server_.stop();
    if (HasFailure()) {
        std::cerr << "---- test directory " << base_ << " ----\n";
        for (const fs::path& dir : {run_, work_, remote_}) {
            std::cerr << dir.filename().string() << "/:";
            for (auto& n : fileNames(dir)) {
                std::error_code ec;
                std::cerr << ' ' << n << '(' << fs::file_size(dir / n, ec) << ')';
            }
            std::cerr << '\n';
        }
        for (auto& n : fileNames(run_))
            if (n.size() > 4 && n.substr(n.size() - 4) == ".log")
                std::cerr << "---- " << n << " ----\n" << tail(readFile(run_ / n), 3000);
        if (fileExists(base_ / "server-commands.log"))
            std::cerr << "---- commands the server received ----\n"
                      << tail(readFile(base_ / "server-commands.log"), 4000);
        if (fileExists(base_ / "server-stderr.log"))
            std::cerr << "---- server stderr ----\n" << tail(readFile(base_ / "server-stderr.log"), 4000) << '\n';
    }
    if (!std::getenv("CORVANTEL_KEEP_TEST_DIRS")) {
        std::error_code ec;
        fs::remove_all(base_, ec);
    }
}

::testing::AssertionResult IntegrationTest::startServer(const std::vector<std::string>& flags) {
    std::vector<std::string> args = {"--root",    remote_.string(), "--user", user_, "--password", password_,
                                     "--log",     (base_ / "server-commands.log").string(),
                                     "--timeout", "240"};
    args.insert(args.end(), flags.begin(), flags.end());
    return server_.start(args, base_ / "server-stderr.log");
}

std::vector<std::string> IntegrationTest::serverCommands() const { return readLines(base_ / "server-commands.log"); }

int IntegrationTest::countCommands(const std::string& prefix) const {
    int n = 0;
    for (auto& c : serverCommands())
        if (c.rfind(prefix, 0) == 0) ++n;
    return n;
}

bool IntegrationTest::sawCommand(const std::string& exact) const {
    auto cmds = serverCommands();
    return std::find(cmds.begin(), cmds.end(), exact) != cmds.end();
}

std::vector<std::string> IntegrationTest::jobOptions(const std::string& job, int port, const std::string& user,
                                                     const std::string& password, const std::string& pattern,
                                                     const std::string& dir, const std::string& host) {
    const std::string p = "--" + job + "-";
    return {p + "host",     host,        p + "port", std::to_string(port), p + "user",    user,
            p + "password", password,    p + "dir",  dir,                  p + "pattern", pattern};
}

std::vector<std::string> IntegrationTest::downloadOptions(const std::string& pattern, const std::string& dir) const {
    return jobOptions("download", server_.port(), user_, password_, pattern, dir);
}

std::vector<std::string> IntegrationTest::uploadOptions(const std::string& pattern, const std::string& dir) const {
    return jobOptions("upload", server_.port(), user_, password_, pattern, dir);
}

ProcessResult IntegrationTest::runCorvantel(const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                                           const std::vector<std::pair<std::string, std::string>>& env) {
    std::vector<std::string> argv = {CORVANTEL_BINARY, "--headless"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::pair<std::string, std::string>> vars = {{"CORVANTEL_TIME_SCALE", "60"},
                                                             {"QT_QPA_PLATFORM", "offscreen"}};
    vars.insert(vars.end(), env.begin(), env.end());
    return runProcess(argv, run_, vars, timeout);
}

}  // namespace corvantel::itest

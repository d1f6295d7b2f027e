#include "sshd/real_sshd.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <shadow.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

namespace corvantel::sshtest {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The login user of the real FTP servers (tests/integration/real_servers.cpp):
// the same account and password, made the same way when missing.
const std::string kUser = "tester";
const std::string kPassword = "corvantel-test";
const char* const kSshd = "/usr/sbin/sshd";
const char* const kKeygen = "/usr/bin/ssh-keygen";

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeText(const fs::path& p, const std::string& text, bool append = false) {
    std::ofstream out(p, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out << text;
}

struct ToolResult {
    int status = -1;
    std::string output;
};

// Runs argv (argv[0] a path) with stdin from input, both outputs captured;
// killed after timeout.
ToolResult runTool(const std::vector<std::string>& argv, const std::string& input = {},
                   std::chrono::milliseconds timeout = 30s) {
    ToolResult r;
    int out[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return r;
    if (::pipe2(in, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return r;
    }
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(out[1], 2);
        ::setpgid(0, 0);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return r;
    }
    if (!input.empty()) (void)!::write(in[1], input.data(), input.size());
    ::close(in[1]);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            r.output += "\n(killed after " + std::to_string(timeout.count()) + " ms)";
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        r.output.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    return r;
}

::testing::AssertionResult runOk(const std::vector<std::string>& argv, const std::string& input = {}) {
    ToolResult r = runTool(argv, input);
    if (r.status == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << argv[0] << " failed (" << r.status << "): " << r.output;
}

bool passwordMatches(const char* hash) {
    if (!hash || !*hash) return false;
    auto data = std::make_unique<crypt_data>();
    const char* again = ::crypt_r(kPassword.c_str(), hash, data.get());
    return again && std::strcmp(again, hash) == 0;
}

// The login user with the test password in /etc/shadow (sshd without PAM
// checks it there). Under the same lock as the FTP servers' tests, which
// may make the user at the same time.
::testing::AssertionResult ensureLoginUser() {
    const fs::path lockDir = fs::path(REAL_SERVERS_ROOT).parent_path();
    std::error_code ec;
    fs::create_directories(lockDir, ec);
    int lock = ::open((lockDir / "login-user.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) return ::testing::AssertionFailure() << "cannot open the login user's lock: " << std::strerror(errno);
    std::unique_ptr<int, void (*)(int*)> unlock(&lock, [](int* fd) { ::close(*fd); });
    ::flock(lock, LOCK_EX);
    if (!::getpwnam(kUser.c_str())) {
        if (auto ok = runOk({"/usr/sbin/useradd", "--system", "--no-create-home", "--home-dir", "/", "--shell",
                             "/usr/sbin/nologin", kUser});
            !ok)
            return ok;
    }
    const spwd* sp = ::getspnam(kUser.c_str());
    if (!sp || !passwordMatches(sp->sp_pwdp)) {
        if (auto ok = runOk({"/usr/sbin/chpasswd"}, kUser + ":" + kPassword + "\n"); !ok) return ok;
    }
    return ::testing::AssertionSuccess();
}

// sshd's own needs: its privilege separation user and folder.
::testing::AssertionResult ensureSshdNeeds() {
    std::error_code ec;
    fs::create_directories("/run/sshd", ec);
    ::chmod("/run/sshd", 0755);
    if (!::getpwnam("sshd")) {
        if (auto ok = runOk({"/usr/sbin/useradd", "--system", "--no-create-home", "--home-dir", "/run/sshd",
                             "--shell", "/usr/sbin/nologin", "sshd"});
            !ok)
            return ok;
    }
    return ::testing::AssertionSuccess();
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// Connects and reads the server's first line: true once it is an SSH banner.
bool bannerSeen(int port, Clock::time_point deadline) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    std::string got;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        while (got.find('\n') == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buf[256];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return got.rfind("SSH-2.0-", 0) == 0;
}

struct ProcessEntry {
    pid_t pid = 0;
    pid_t ppid = 0;
};

std::vector<ProcessEntry> processTable() {
    std::vector<ProcessEntry> table;
    DIR* proc = ::opendir("/proc");
    if (!proc) return table;
    while (dirent* d = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(d->d_name, &end, 10);
        if (pid <= 0 || *end) continue;
        std::string line = readText(fs::path("/proc") / d->d_name / "stat");
        auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        char state = '?';
        ProcessEntry e;
        e.pid = static_cast<pid_t>(pid);
        rest >> state >> e.ppid;
        if (rest && state != 'Z') table.push_back(e);
    }
    ::closedir(proc);
    return table;
}

// root and every live process descended from it.
std::vector<pid_t> descendants(pid_t root) {
    std::vector<ProcessEntry> table = processTable();
    std::set<pid_t> found{root};
    for (bool grew = true; grew;) {
        grew = false;
        for (auto& e : table)
            if (found.count(e.ppid) && found.insert(e.pid).second) grew = true;
    }
    std::vector<pid_t> out;
    for (pid_t p : found)
        if (p == root || ::kill(p, 0) == 0) out.push_back(p);
    return out;
}

// Lets everyone pass through path and the folders above it (search
// permission only, added where missing).
void letThrough(const fs::path& path) {
    for (fs::path p = path; p.has_relative_path(); p = p.parent_path()) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 0011) != 0011)
            ::chmod(p.c_str(), (st.st_mode & 07777) | 0011);
    }
}

}  // namespace

::testing::AssertionResult RealSshd::installed() {
    for (const char* p : {kSshd, kKeygen})
        if (::access(p, X_OK) != 0)
            return ::testing::AssertionFailure() << p << " is missing: run scripts/install-real-servers "
                                                 << "(it installs openssh-server; scripts/test runs it)";
    return ::testing::AssertionSuccess();
}

const std::string& RealSshd::user() { return kUser; }
const std::string& RealSshd::password() { return kPassword; }

void RealSshd::handOver(const fs::path& path) {
    const passwd* pw = ::getpwnam(kUser.c_str());
    if (!pw) return;
    if (::lchown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0) return;
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(path, ec))) return;
    for (auto& e : fs::recursive_directory_iterator(path, ec))
        if (::lchown(e.path().c_str(), pw->pw_uid, pw->pw_gid) != 0) continue;
}

::testing::AssertionResult RealSshd::makeHostKey() {
    std::error_code ec;
    fs::remove(dir_ / "host_ed25519", ec);
    fs::remove(dir_ / "host_ed25519.pub", ec);
    return runOk({kKeygen, "-q", "-t", "ed25519", "-N", "", "-C", "corvantel-test-host", "-f",
                  (dir_ / "host_ed25519").string()});
}

::testing::AssertionResult RealSshd::start(const fs::path& dir, const fs::path& root) {
    stop();
    if (auto ok = installed(); !ok) return ok;
    dir_ = fs::absolute(dir);
    root_ = fs::absolute(root);
    if (auto ok = ensureLoginUser(); !ok) return ok;
    if (auto ok = ensureSshdNeeds(); !ok) return ok;
    std::error_code ec;
    fs::create_directories(dir_, ec);
    fs::create_directories(root_, ec);
    handOver(root_);
    // sshd reads the authorized keys as the login user, whose session then
    // changes into root: both paths must be open to it (a test's folders
    // are root's, often 0700).
    letThrough(dir_);
    letThrough(root_);
    if (!fs::exists(dir_ / "authorized_keys")) writeText(dir_ / "authorized_keys", "");
    ::chmod((dir_ / "authorized_keys").c_str(), 0644);
    if (auto ok = makeHostKey(); !ok) return ok;
    // A port picked now may be taken before sshd binds it: a few tries.
    ::testing::AssertionResult last = ::testing::AssertionFailure() << "no free port";
    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = freePort();
        if (port_ == 0) continue;
        last = launch();
        if (last) return last;
        if (logs().find("Address already in use") == std::string::npos) break;
    }
    return last;
}

::testing::AssertionResult RealSshd::launch() {
    const std::string d = dir_.string();
    std::ostringstream config;
    config << "ListenAddress 127.0.0.1:" << port_ << "\n"
           << "HostKey " << d << "/host_ed25519\n"
           << "PidFile " << d << "/sshd.pid\n"
           << "UsePAM no\n"
           << "PasswordAuthentication yes\n"
           << "KbdInteractiveAuthentication no\n"
           << "PubkeyAuthentication yes\n"
           << "PermitRootLogin no\n"
           << "AuthorizedKeysFile " << d << "/authorized_keys\n"
           << "StrictModes no\n"
           << "LogLevel VERBOSE\n"
           << "MaxStartups 100\n"
           << "LoginGraceTime 60\n"
           << "AllowUsers " << kUser << "\n"
           << "Subsystem sftp internal-sftp\n"
           << "Match User " << kUser << "\n"
           << "  ForceCommand internal-sftp -d " << root_.string() << "\n"
           << "  ChrootDirectory none\n"
           << "  AllowTcpForwarding no\n"
           << "  X11Forwarding no\n";
    writeText(dir_ / "sshd_config", config.str());
    const fs::path log = dir_ / "sshd.log";
    writeText(log, "", true);

    std::vector<std::string> argv = {kSshd, "-D", "-e", "-f", (dir_ / "sshd_config").string()};
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // The server dies with the test, whatever happens to it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);
        ::setsid();
        int null = ::open("/dev/null", O_RDONLY);
        int out = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        ::dup2(null, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execv(kSshd, args.data());
        ::_exit(127);
    }
    if (pid < 0) return ::testing::AssertionFailure() << "fork: " << std::strerror(errno);
    pid_ = pid;
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return ::testing::AssertionFailure() << "sshd ended at once:\n" << logs();
        }
        if (bannerSeen(port_, Clock::now() + 2s)) return ::testing::AssertionSuccess();
        std::this_thread::sleep_for(20ms);
    }
    stop();
    return ::testing::AssertionFailure() << "sshd sent no banner within 10 s:\n" << logs();
}

::testing::AssertionResult RealSshd::restartWithNewHostKey() {
    if (dir_.empty()) return ::testing::AssertionFailure() << "not started";
    stop();
    if (auto ok = makeHostKey(); !ok) return ok;
    return launch();
}

std::vector<pid_t> RealSshd::processes() const {
    if (pid_ <= 0) return {};
    return descendants(pid_);
}

void RealSshd::pause() {
    for (pid_t p : processes()) ::kill(p, SIGSTOP);
}

void RealSshd::resume() {
    for (pid_t p : processes()) ::kill(p, SIGCONT);
}

void RealSshd::stop() {
    if (pid_ <= 0) return;
    // Frozen first, to a fixed point, so that nothing forks or is orphaned
    // (and lost from the tree) while the tree is killed.
    std::set<pid_t> all;
    for (int round = 0; round < 20; ++round) {
        bool grew = false;
        for (pid_t p : descendants(pid_))
            if (all.insert(p).second) {
                ::kill(p, SIGSTOP);
                grew = true;
            }
        if (!grew) break;
    }
    for (pid_t p : all) {
        ::kill(p, SIGKILL);
        ::kill(p, SIGCONT);
    }
    const auto deadline = Clock::now() + 5s;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0 && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    // The sessions are not our children: gone once they leave /proc (or
    // turn zombie).
    for (pid_t p : all)
        while (p != pid_ && ::kill(p, 0) == 0 && Clock::now() < deadline) {
            std::string stat = readText("/proc/" + std::to_string(p) + "/stat");
            auto close = stat.rfind(')');
            if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') break;
            std::this_thread::sleep_for(5ms);
        }
    pid_ = -1;
}

fs::path RealSshd::clientKey(KeyType type, const std::string& passphrase) {
    const char* name = type == KeyType::Ed25519 ? "ed25519" : type == KeyType::Ecdsa ? "ecdsa" : "rsa";
    const fs::path key = dir_ / ("client_" + std::string(name) + "_" + std::to_string(++keyCount_));
    std::error_code ec;
    fs::remove(key, ec);
    fs::remove(key.string() + ".pub", ec);
    std::vector<std::string> argv = {kKeygen, "-q", "-t", name, "-N", passphrase, "-C", "corvantel-test", "-f",
                                     key.string()};
    if (type == KeyType::Rsa) argv.insert(argv.begin() + 4, {"-b", "3072"});
    if (auto ok = runOk(argv); !ok) {
        ADD_FAILURE() << ok.message();
        return {};
    }
    writeText(dir_ / "authorized_keys", readText(key.string() + ".pub"), true);
    return key;
}

std::string RealSshd::hostFingerprint() const {
    ToolResult r = runTool({kKeygen, "-l", "-E", "sha256", "-f", (dir_ / "host_ed25519.pub").string()});
    std::istringstream in(r.output);
    std::string bits, fp;
    in >> bits >> fp;
    return fp.rfind("SHA256:", 0) == 0 ? fp : std::string();
}

std::string RealSshd::knownHostsLine() const {
    std::istringstream in(readText(dir_ / "host_ed25519.pub"));
    std::string type, key;
    in >> type >> key;
    return "[127.0.0.1]:" + std::to_string(port_) + " " + type + " " + key + "\n";
}

void RealSshd::writeKnownHosts(const fs::path& path) const { writeText(path, knownHostsLine()); }

std::string RealSshd::logs() const { return dir_.empty() ? std::string() : readText(dir_ / "sshd.log"); }

::testing::AssertionResult OddSftpServer::installed() {
    ToolResult r = runTool({"/usr/bin/python3", "-c", "import paramiko"}, {}, 20s);
    if (r.status == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "python3 with paramiko is missing (python3-paramiko, scripts/install-deps)";
}

::testing::AssertionResult OddSftpServer::start(const fs::path& root, const fs::path& log) {
    stop();
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return ::testing::AssertionFailure() << "pipe";
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return ::testing::AssertionFailure() << "pipe";
    }
    const std::string script = ODD_SFTP_SERVER;
    const std::string rootText = root.string();
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);
        int err = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err, 2);
        ::execl("/usr/bin/python3", "python3", script.c_str(), rootText.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return ::testing::AssertionFailure() << "fork: " << std::strerror(errno);
    }
    pid_ = pid;
    stdin_ = in[1];
    std::string got;
    const auto deadline = Clock::now() + 15s;
    while (got.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{out[0], POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[64];
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (got.rfind("PORT ", 0) == 0) port_ = std::atoi(got.c_str() + 5);
    if (port_ > 0) return ::testing::AssertionSuccess();
    stop();
    return ::testing::AssertionFailure() << "the odd SFTP server did not start: " << got << readText(log);
}

void OddSftpServer::stop() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    port_ = 0;
}

}  // namespace corvantel::sshtest

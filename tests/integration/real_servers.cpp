#include "real_servers.h"

#include <crypt.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <shadow.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

namespace corvantel::itest {

namespace {

using Clock = std::chrono::steady_clock;

const std::string kUser = "tester";
const std::string kPassword = "corvantel-test";

fs::path program(const std::string& relative) { return RealFtpServer::installRoot() / relative; }

const std::vector<std::string>& programs() {
    static const std::vector<std::string> p = {"usr/sbin/vsftpd", "usr/sbin/proftpd", "usr/sbin/pure-ftpd",
                                               "usr/bin/pure-pw"};
    return p;
}

// A SHA-512 crypt(3) hash of the password with a fresh salt; empty on failure.
std::string hashPassword(const std::string& password) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!::crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt)) return {};
    auto data = std::make_unique<crypt_data>();
    const char* hash = ::crypt_r(password.c_str(), salt, data.get());
    return hash && hash[0] != '*' ? hash : "";
}

bool hashMatches(const std::string& password, const char* hash) {
    if (!hash || !*hash) return false;
    auto data = std::make_unique<crypt_data>();
    const char* again = ::crypt_r(password.c_str(), hash, data.get());
    return again && std::strcmp(again, hash) == 0;
}

::testing::AssertionResult runTool(const std::vector<std::string>& argv, const fs::path& cwd) {
    ProcessResult r = runProcess(argv, cwd, {}, 30s);
    if (r.exitCode == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << argv[0] << " failed: " << r.describe();
}

// The system user the servers log in: made when missing (useradd), with the
// test password set when vsftpd needs it (vsftpd checks system passwords
// through PAM). Tests run in parallel, so this runs under a file lock.
::testing::AssertionResult ensureLoginUser(bool systemPassword, uid_t& uid, gid_t& gid) {
    const fs::path lockPath = RealFtpServer::installRoot().parent_path() / "login-user.lock";
    int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) return ::testing::AssertionFailure() << "cannot open " << lockPath << ": " << std::strerror(errno);
    std::unique_ptr<int, void (*)(int*)> unlock(&lock, [](int* fd) { ::close(*fd); });
    ::flock(lock, LOCK_EX);

    if (!::getpwnam(kUser.c_str())) {
        const std::string hash = hashPassword(kPassword);
        if (hash.empty()) return ::testing::AssertionFailure() << "crypt(3) could not hash the test password";
        // The home directory is "/": vsftpd changes into it before local_root.
        if (auto ok = runTool({"/usr/sbin/useradd", "--system", "--no-create-home", "--home-dir", "/", "--shell",
                               "/usr/sbin/nologin", "--password", hash, kUser},
                              "/");
            !ok)
            return ok;
    }
    const passwd* pw = ::getpwnam(kUser.c_str());
    if (!pw) return ::testing::AssertionFailure() << "the user " << kUser << " is still missing after useradd";
    uid = pw->pw_uid;
    gid = pw->pw_gid;
    if (!systemPassword) return ::testing::AssertionSuccess();

    struct stat home {};
    if (::stat(pw->pw_dir, &home) != 0 || !S_ISDIR(home.st_mode))
        return ::testing::AssertionFailure() << "vsftpd changes into the home directory of " << kUser << " ("
                                             << pw->pw_dir << "), which does not exist";
    const spwd* sp = ::getspnam(kUser.c_str());
    if (!sp || !hashMatches(kPassword, sp->sp_pwdp)) {
        const std::string hash = hashPassword(kPassword);
        if (hash.empty()) return ::testing::AssertionFailure() << "crypt(3) could not hash the test password";
        if (auto ok = runTool({"/usr/sbin/usermod", "--password", hash, kUser}, "/"); !ok) return ok;
    }
    return ::testing::AssertionSuccess();
}

void handOver(const fs::path& root, uid_t uid, gid_t gid) {
    if (::chown(root.c_str(), uid, gid) != 0) return;
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(root, ec)) 
        if (::lchown(e.path().c_str(), uid, gid) != 0) continue;
}

void writeText(const fs::path& p, const std::string& text, fs::perms perms) {
    writeFile(p, text);
    fs::permissions(p, perms);
}

std::string tailOf(const std::string& s, std::size_t n) { return s.size() <= n ? s : "...\n" + s.substr(s.size() - n); }

// Connects to 127.0.0.1:port and reads the greeting to its last line. Empty
// when nothing answered by the deadline; otherwise the greeting's lines.
std::string readGreeting(int port, Clock::time_point deadline, bool ipv6) {
    int fd = connectLoopback(port, ipv6);
    if (fd < 0) return {};
    std::string got;
    // The greeting ends with a line "220 ..." (after any "220-" lines),
    // or is a refusal such as "421 ..." or "500 OOPS: ...".
    auto complete = [&] {
        std::size_t start = 0;
        for (std::size_t nl; (nl = got.find('\n', start)) != std::string::npos; start = nl + 1)
            if (nl - start >= 4 && got[start + 3] == ' ') return true;
        return false;
    };
    while (!complete()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[1024];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    if (complete()) (void)!::send(fd, "QUIT\r\n", 6, MSG_NOSIGNAL);
    ::close(fd);
    return got;
}

}  // namespace

// Every process of the machine, from /proc/<pid>/stat.
std::vector<RealFtpServer::ProcessEntry> RealFtpServer::processTable() {
    std::vector<ProcessEntry> table;
    DIR* proc = ::opendir("/proc");
    if (!proc) return table;
    while (dirent* d = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(d->d_name, &end, 10);
        if (pid <= 0 || *end) continue;
        std::ifstream in("/proc/" + std::string(d->d_name) + "/stat");
        std::string line;
        if (!std::getline(in, line)) continue;
        // "pid (comm) state ppid pgrp session ...": comm may hold spaces.
        auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        ProcessEntry e;
        e.pid = static_cast<pid_t>(pid);
        pid_t pgrp = 0;
        rest >> e.state >> e.ppid >> pgrp >> e.session;
        if (rest) table.push_back(e);
    }
    ::closedir(proc);
    return table;
}

std::string toString(ServerKind kind) {
    switch (kind) {
        case ServerKind::Vsftpd:
            return "vsftpd";
        case ServerKind::Proftpd:
            return "proftpd";
        case ServerKind::PureFtpd:
            return "pureftpd";
    }
    return "?";
}

fs::path RealFtpServer::installRoot() { return REAL_SERVERS_ROOT; }

::testing::AssertionResult RealFtpServer::installed() {
    std::vector<std::string> missing;
    for (auto& p : programs())
        if (::access(program(p).c_str(), X_OK) != 0) missing.push_back(program(p).string());
    if (missing.empty()) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure();
    failure << "the real FTP servers are not installed: missing";
    for (auto& m : missing) failure << ' ' << m;
    return failure << ". Run scripts/install-real-servers (scripts/test runs it).";
}

const std::string& RealFtpServer::user() { return kUser; }
const std::string& RealFtpServer::password() { return kPassword; }

::testing::AssertionResult RealFtpServer::start(ServerKind kind, const fs::path& dir, const fs::path& root) {
    stop();
    if (auto ok = installed(); !ok) return ok;
    if (::geteuid() != 0)
        return ::testing::AssertionFailure() << "the real FTP servers must be started by root (they change into "
                                                "the login user, and vsftpd checks system passwords)";
    uid_t uid = 0;
    gid_t gid = 0;
    if (auto ok = ensureLoginUser(kind == ServerKind::Vsftpd, uid, gid); !ok) return ok;
    handOver(root, uid, gid);
    fs::create_directories(dir);
    kind_ = kind;
    // The free port is released before the server binds it, so another test
    // may take it first: the server then exits at once and is tried again.
    ::testing::AssertionResult result = ::testing::AssertionFailure();
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool retry = false;
        result = startOnce(kind, dir, root, uid, gid, retry);
        if (result || !retry) break;
    }
    return result;
}

::testing::AssertionResult RealFtpServer::startOnce(ServerKind kind, const fs::path& dir, const fs::path& root,
                                                    uid_t uid, gid_t gid, bool& retry) {
    port_ = unusedPort();
    if (port_ <= 0) return ::testing::AssertionFailure() << "no free port on 127.0.0.1";
    const std::string port = std::to_string(port_);
    const fs::path output = dir / (toString(kind) + "-output.log");
    const auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
    std::vector<std::string> argv;
    logFiles_.clear();

    switch (kind) {
        case ServerKind::Vsftpd: {
            const fs::path empty = dir / "vsftpd-empty";
            fs::create_directories(empty);
            const fs::path conf = dir / "vsftpd.conf";
            std::ostringstream c;
            if (ipv6_)
                c << "listen=NO\n"
                  << "listen_ipv6=YES\n"
                  << "listen_address6=::1\n";
            else
                c << "listen=YES\n"
                  << "listen_ipv6=NO\n"
                  << "listen_address=127.0.0.1\n";
            c
              << "listen_port=" << port << "\n"
              << "background=NO\n"
              << "anonymous_enable=NO\n"
              << "local_enable=YES\n"
              << "write_enable=YES\n"
              << "local_umask=022\n"
              << "local_root=" << root.string() << "\n"
              << "chroot_local_user=YES\n"
              << "allow_writeable_chroot=YES\n"
              // No file in /etc/pam.d has this name, so PAM uses "other",
              // which checks the system password.
              << "pam_service_name=corvantel-test\n"
              << "userlist_enable=NO\n"
              << "tcp_wrappers=NO\n"
              << "port_enable=YES\n"
              << "connect_from_port_20=NO\n"
              << "seccomp_sandbox=NO\n"
              << "isolate=NO\n"
              << "isolate_network=NO\n"
              << "secure_chroot_dir=" << empty.string() << "\n"
              << "idle_session_timeout=120\n"
              << "data_connection_timeout=60\n"
              // TYPE A converts line ends as proftpd and pure-ftpd do
              // (vsftpd's default sends and stores the bytes unchanged).
              << "ascii_download_enable=YES\n"
              << "ascii_upload_enable=YES\n"
              << "xferlog_enable=YES\n"
              << "log_ftp_protocol=YES\n";
            if (!tlsCert_.empty())
                c << "ssl_enable=YES\n"
                  << "rsa_cert_file=" << tlsCert_.string() << "\n"
                  << "rsa_private_key_file=" << tlsKey_.string() << "\n"
                  << "force_local_logins_ssl=YES\n"
                  << "force_local_data_ssl=YES\n"
                  // Every data connection must resume the control
                  // connection's TLS session (vsftpd's default, stated).
                  << "require_ssl_reuse=YES\n"
                  << "ssl_ciphers=HIGH\n";
            // Over the limit, a connection gets 421 at the greeting.
            if (limit_ > 0) c << "max_per_ip=" << limit_ << "\n";
            if (rate_ > 0) c << "local_max_rate=" << rate_ * 1024 << "\n";
            c
              << "vsftpd_log_file=" << (dir / "vsftpd.log").string() << "\n";
            writeText(conf, c.str(), ownerOnly);
            argv = {program("usr/sbin/vsftpd").string(), conf.string()};
            logFiles_ = {dir / "vsftpd.log", output};
            break;
        }
        case ServerKind::Proftpd: {
            const fs::path users = dir / "proftpd.passwd", groups = dir / "proftpd.group";
            const std::string hash = hashPassword(kPassword);
            if (hash.empty()) return ::testing::AssertionFailure() << "crypt(3) could not hash the test password";
            writeText(users,
                      kUser + ":" + hash + ":" + std::to_string(uid) + ":" + std::to_string(gid) +
                          "::" + root.string() + ":/bin/false\n",
                      ownerOnly);
            writeText(groups, kUser + ":x:" + std::to_string(gid) + ":\n", ownerOnly);
            const fs::path conf = dir / "proftpd.conf";
            std::ostringstream c;
            // mod_digest (shipped with proftpd-core) answers HASH and the
            // X checksum commands that verified transfers ask.
            c << "ModulePath " << program("usr/lib/proftpd").string() << "\n"
              << "LoadModule mod_digest.c\n"
              << "DigestEngine on\n"
              << "DigestAlgorithms all\n"
              << "ServerType standalone\n"
              << "ServerName \"corvantel test\"\n"
              << "Port " << port << "\n"
              << "DefaultAddress 127.0.0.1\n"
              << "SocketBindTight on\n"
              << "UseIPv6 off\n"
              << "User nobody\n"
              << "Group nogroup\n"
              << "PidFile " << (dir / "proftpd.pid").string() << "\n"
              << "ScoreboardFile " << (dir / "proftpd.scoreboard").string() << "\n"
              << "ControlsEngine off\n"
              << "DelayEngine off\n"
              << "WtmpLog off\n"
              << "UseReverseDNS off\n"
              << "AuthOrder mod_auth_file.c\n"
              << "AuthUserFile " << users.string() << "\n"
              << "AuthGroupFile " << groups.string() << "\n"
              << "AuthPAM off\n"
              << "RequireValidShell off\n"
              << "DefaultRoot ~\n"
              << "AllowOverwrite " << (overwrite_ ? "on" : "off") << "\n"
              << "AllowStoreRestart on\n"
              << "Umask 022\n"
              << "MaxInstances 30\n";
            // Over the limit, proftpd refuses the login with 530.
            if (limit_ > 0) c << "MaxClientsPerHost " << limit_ << "\n";
            if (rate_ > 0) c << "TransferRate RETR,STOR " << rate_ << "\n";
            c
              << "TimeoutIdle 120\n"
              << "TimeoutNoTransfer 120\n"
              << "TimeoutStalled 60\n"
              << "SystemLog " << (dir / "proftpd-system.log").string() << "\n"
              << "TransferLog " << (dir / "proftpd-transfers.log").string() << "\n"
              << "ExtendedLog " << (dir / "proftpd-commands.log").string() << " ALL\n";
            writeText(conf, c.str(), ownerOnly);
            argv = {program("usr/sbin/proftpd").string(), "-n", "-c", conf.string()};
            logFiles_ = {dir / "proftpd-commands.log", dir / "proftpd-transfers.log", dir / "proftpd-system.log",
                         output};
            break;
        }
        case ServerKind::PureFtpd: {
            // A virtual user in a puredb file, made by pure-pw from a
            // passwd-style file ("/./" in the home chroots the user there).
            const fs::path users = dir / "pureftpd.passwd", db = dir / "pureftpd.pdb";
            const std::string hash = hashPassword(kPassword);
            if (hash.empty()) return ::testing::AssertionFailure() << "crypt(3) could not hash the test password";
            writeText(users,
                      kUser + ":" + hash + ":" + std::to_string(uid) + ":" + std::to_string(gid) +
                          "::" + root.string() + "/./::::::::::::\n",
                      ownerOnly);
            if (auto ok =
                    runTool({program("usr/bin/pure-pw").string(), "mkdb", db.string(), "-f", users.string()}, dir);
                !ok)
                return ok;
            const fs::path transfers = dir / "pureftpd-transfers.log";
            // Address and port, the virtual user, no DNS, chroot, no
            // anonymous login, verbose, two minutes idle at most.
            argv = {program("usr/sbin/pure-ftpd").string(),
                    "-S",
                    "127.0.0.1," + port,
                    "-l",
                    "puredb:" + db.string(),
                    "-H",
                    "-A",
                    "-E",
                    "-d",
                    "-I",
                    "2",
                    "-g",
                    (dir / "pureftpd.pid").string(),
                    "-O",
                    "clf:" + transfers.string()};
            // Over the limit, a connection gets 421 at the greeting.
            if (limit_ > 0) argv.insert(argv.end(), {"-C", std::to_string(limit_)});
            if (rate_ > 0) argv.insert(argv.end(), {"-t", std::to_string(rate_), "-T", std::to_string(rate_)});
            // TLS required for logins and data, with this certificate.
            if (!tlsCert_.empty())
                argv.insert(argv.end(), {"-Y", "3", "-2", tlsCert_.string() + "," + tlsKey_.string()});
            logFiles_ = {transfers, output};
            break;
        }
    }

    pid_ = spawnSessionLeader(argv, dir, output);
    if (pid_ <= 0) return ::testing::AssertionFailure() << "fork failed";
    const auto deadline = Clock::now() + 15s;
    std::string greeting;
    while (Clock::now() < deadline) {
        if (waitForExit(pid_, 0ms)) {
            pid_ = -1;
            retry = true;
            return ::testing::AssertionFailure() << toString(kind) << " exited before it greeted anyone:\n" << logs();
        }
        greeting = readGreeting(port_, deadline, ipv6_ && kind == ServerKind::Vsftpd);
        if (!greeting.empty()) break;
        std::this_thread::sleep_for(20ms);
    }
    if (greeting.rfind("220", 0) != 0) {
        stop();
        return ::testing::AssertionFailure() << toString(kind) << " on port " << port << " did not greet in time"
                                             << (greeting.empty() ? "" : " (it said \"" + greeting + "\")") << ":\n"
                                             << logs();
    }
    return ::testing::AssertionSuccess();
}

std::vector<pid_t> RealFtpServer::processes() const {
    std::set<pid_t> sessions = {pid_};
    return pid_ > 0 ? family(processTable(), sessions) : std::vector<pid_t>{};
}

std::vector<pid_t> RealFtpServer::family(const std::vector<ProcessEntry>& table, std::set<pid_t>& sessions) const {
    // The master leads its own session; a process is the server's when it
    // descends from the master or shares a session with one that did (a
    // session's processes outlive the master, and vsftpd's call setsid()).
    std::set<pid_t> tree = {pid_};
    for (bool grew = true; grew;) {
        grew = false;
        for (auto& p : table)
            if (tree.count(p.ppid) && tree.insert(p.pid).second) grew = true;
    }
    for (auto& p : table)
        if (tree.count(p.pid)) sessions.insert(p.session);
    std::vector<pid_t> members;
    for (auto& p : table)
        if (p.state != 'Z' && (tree.count(p.pid) || sessions.count(p.session))) members.push_back(p.pid);
    return members;
}

void RealFtpServer::stop() {
    if (pid_ <= 0) return;
    // Stopped, the master forks no new session while its family is found.
    ::kill(-pid_, SIGSTOP);
    std::set<pid_t> sessions = {pid_};
    std::set<pid_t> killed;
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
        const auto members = family(processTable(), sessions);
        if (members.empty()) break;
        for (pid_t p : members) ::kill(p, SIGKILL);
        killed.insert(members.begin(), members.end());
        std::this_thread::sleep_for(10ms);
    }
    waitForExit(pid_, 5s);
    // pure-ftpd keeps a file per session in /run/pure-ftpd (for pure-ftpwho)
    // that only a session ending by itself removes.
    if (kind_ == ServerKind::PureFtpd)
        for (pid_t p : killed) {
            char name[64];
            std::snprintf(name, sizeof name, "/run/pure-ftpd/client-%08lu", static_cast<unsigned long>(p));
            ::unlink(name);
        }
    pid_ = -1;
    port_ = 0;
}

std::string RealFtpServer::logs() const {
    std::string s;
    for (auto& f : logFiles_)
        if (fileExists(f)) s += "---- " + f.filename().string() + " ----\n" + tailOf(readFile(f), 8000) + "\n";
    return s;
}

}  // namespace corvantel::itest

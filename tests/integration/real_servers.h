// Real FTP servers for the end-to-end tests: vsftpd, proftpd and pure-ftpd,
// unpacked into the repository by scripts/install-real-servers. Each runs in
// the foreground on 127.0.0.1 and a free port, with a config written into
// the test's directory, serving one folder to the login user "tester", and
// is killed with every process of its sessions when the test ends.
#pragma once

#include <sys/types.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

namespace corvantel::itest {

enum class ServerKind { Vsftpd, Proftpd, PureFtpd };

// "vsftpd", "proftpd", "pureftpd" (usable in test names).
std::string toString(ServerKind kind);
// For gtest's messages.
inline void PrintTo(ServerKind kind, std::ostream* os) { *os << toString(kind); }

class RealFtpServer {
public:
    RealFtpServer() = default;
    RealFtpServer(const RealFtpServer&) = delete;
    RealFtpServer& operator=(const RealFtpServer&) = delete;
    ~RealFtpServer() { stop(); }

    // Where scripts/install-real-servers unpacks the servers.
    static fs::path installRoot();
    // Success when every server program is there; otherwise a message that
    // says which is missing and how to install them.
    static ::testing::AssertionResult installed();

    static const std::string& user();
    static const std::string& password();

    // Serves root (handed over to the login user, with everything in it) by
    // a server of this kind; its config, pid file and logs go to dir. Returns
    // once the server has greeted a connection, or fails with its output.
    ::testing::AssertionResult start(ServerKind kind, const fs::path& dir, const fs::path& root);
    // Kills the server and every process it forked, sessions included
    // (vsftpd's sessions call setsid(), so they are found by session id).
    void stop();

    // The server's processes now: the master and every process it forked.
    std::vector<pid_t> processes() const;

    int port() const { return port_; }
    // vsftpd only: listen on ::1 instead of 127.0.0.1 (set before start).
    void setIPv6(bool on) { ipv6_ = on; }
    // vsftpd and pure-ftpd: TLS forced for logins and data, with this
    // certificate and key (PEM files; set before start).
    void setTls(const fs::path& certificate, const fs::path& key) {
        tlsCert_ = certificate;
        tlsKey_ = key;
    }
    // At most this many connections from one address (0: the server's
    // default; set before start).
    void setConnectionLimit(int n) { limit_ = n; }
    // Each session moves at most this many KiB a second (0: no limit; set
    // before start).
    void setRateLimit(int kib) { rate_ = kib; }
    // proftpd only: nothing is stored or renamed over an existing file
    // (AllowOverwrite off; set before start).
    void setNoOverwrite() { overwrite_ = false; }
    bool running() const { return pid_ > 0; }
    // What the server logged so far (its dialogue where it writes one, its
    // transfers, its own output), for failure messages.
    std::string logs() const;

private:
    struct ProcessEntry {
        pid_t pid = 0;
        pid_t ppid = 0;
        pid_t session = 0;
        char state = '?';
    };
    static std::vector<ProcessEntry> processTable();
    // The live processes of the server: found from the table, and in the
    // sessions given or seen on the way (added to sessions).
    std::vector<pid_t> family(const std::vector<ProcessEntry>& table, std::set<pid_t>& sessions) const;
    ::testing::AssertionResult startOnce(ServerKind kind, const fs::path& dir, const fs::path& root, uid_t uid,
                                         gid_t gid, bool& retry);

    ServerKind kind_ = ServerKind::Vsftpd;
    pid_t pid_ = -1;
    int port_ = 0;
    bool ipv6_ = false;
    int limit_ = 0;
    int rate_ = 0;
    bool overwrite_ = true;
    fs::path tlsCert_, tlsKey_;
    std::vector<fs::path> logFiles_;
};

}  // namespace corvantel::itest

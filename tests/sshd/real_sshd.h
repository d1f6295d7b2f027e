// OpenSSH's sshd (Debian's openssh-server, /usr/sbin/sshd) as a test
// server: run in the foreground on 127.0.0.1 and a free port, with a host
// key, config, client keys and logs written into the test's directory,
// serving one folder by SFTP only (internal-sftp) to the login user
// "tester", the same system user as the real FTP servers. Everything it
// forked is killed when the test ends.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace corvantel::sshtest {

namespace fs = std::filesystem;

enum class KeyType { Ed25519, Ecdsa, Rsa };

class RealSshd {
public:
    RealSshd() = default;
    RealSshd(const RealSshd&) = delete;
    RealSshd& operator=(const RealSshd&) = delete;
    ~RealSshd() { stop(); }

    // Success when sshd and ssh-keygen are there; otherwise a message that
    // says how to install them.
    static ::testing::AssertionResult installed();

    static const std::string& user();
    static const std::string& password();
    // Gives path (and everything under it) to the login user.
    static void handOver(const fs::path& path);

    // Serves root (handed over to the login user) as the login folder of
    // "tester"; config, host key, pid file and log go to dir. Returns once
    // a connection has got the server's SSH banner, or fails with its log.
    ::testing::AssertionResult start(const fs::path& dir, const fs::path& root);
    // The same server on the same port with a new host key (same type).
    ::testing::AssertionResult restartWithNewHostKey();
    // Kills the server and every process it forked (sessions included).
    void stop();
    // SIGSTOP / SIGCONT to the server and all its sessions.
    void pause();
    void resume();

    int port() const { return port_; }
    bool running() const { return pid_ > 0; }

    // A client key of this type in dir (encrypted with passphrase when not
    // empty), its public half added to the authorized keys. Returns the
    // private key's path; empty on failure (the reason is logged to the
    // test as a failure).
    fs::path clientKey(KeyType type, const std::string& passphrase = {});
    // The host key's fingerprint as ssh-keygen -l prints it ("SHA256:...").
    std::string hostFingerprint() const;
    // A known_hosts line for [127.0.0.1]:port with the host key.
    std::string knownHostsLine() const;
    // Writes a known_hosts file holding that line.
    void writeKnownHosts(const fs::path& path) const;

    // The server and every process it forked, now.
    std::vector<pid_t> processes() const;
    // What sshd logged so far.
    std::string logs() const;

private:
    ::testing::AssertionResult makeHostKey();
    ::testing::AssertionResult launch();

    fs::path dir_, root_;
    pid_t pid_ = -1;
    int port_ = 0;
    int keyCount_ = 0;
};

// An SSH server whose SFTP side behaves oddly (tests/sshd/odd_sftp_server.py,
// on paramiko): short reads, answers out of order, a listing that never
// ends, a packet far past any bound. Any user and password log in; its host
// key is new each run.
class OddSftpServer {
public:
    OddSftpServer() = default;
    OddSftpServer(const OddSftpServer&) = delete;
    OddSftpServer& operator=(const OddSftpServer&) = delete;
    ~OddSftpServer() { stop(); }

    // Success when python3 and paramiko are there.
    static ::testing::AssertionResult installed();
    // Serves the files of root; its output goes to log. Returns once it
    // listens.
    ::testing::AssertionResult start(const fs::path& root, const fs::path& log);
    void stop();
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
};

}  // namespace corvantel::sshtest

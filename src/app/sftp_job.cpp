#include "app/sftp_job.h"

#include <cstdlib>

#include "app/text.h"

namespace corvantel {

using platform::SftpReply;
using platform::SftpStatus;

int sftpPort(const std::string& field) {
    const std::int64_t n = wholeValue(field);
    return n <= 0 || n > 65535 || n == 21 ? 22 : static_cast<int>(n);
}

std::string sftpPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

namespace {
const char* statusName(SftpStatus s);
}  // namespace

Task<std::optional<SftpReply>> sftpCall(ControlSession& c, const SftpCall& call, const std::string& what) {
    if (!c.sftp) c.sftp = c.app.plat.makeSftp();
    if (!c.sftp) co_return SftpReply{SftpStatus::ConnectFailed, "no SFTP in this build"};
    if (c.app.trace) c.app.trace(c.label + " -> sftp " + what);
    auto answer = std::make_shared<std::optional<SftpReply>>();
    call(*c.sftp, [answer, &c](SftpReply r) {
        *answer = std::move(r);
        c.idleTicks = 0;
    });
    co_await c.strand.until([&] { return answer->has_value() || sessionEnding(c); });
    if (!answer->has_value()) {
        c.sftp->close();
        co_return std::nullopt;
    }
    if (c.app.trace) c.app.trace(c.label + " <- sftp " + statusName((*answer)->status));
    co_return std::move(**answer);
}

namespace {

const char* statusName(SftpStatus s) {
    static const char* const names[] = {"ok",
                                        "end of file",
                                        "no such file",
                                        "permission denied",
                                        "failure",
                                        "connect failed",
                                        "host key unknown",
                                        "host key changed",
                                        "login refused",
                                        "no subsystem",
                                        "lost",
                                        "busy",
                                        "host not found"};
    return names[static_cast<int>(s)];
}

// The known-hosts files: those given, else the user's and the system's.
std::vector<std::string> knownHostsFiles(const App& app) {
    if (!app.s.knownHostsFiles.empty()) return app.s.knownHostsFiles;
    std::vector<std::string> files;
    if (const char* home = std::getenv("HOME"); home && *home) files.push_back(std::string(home) + "/.ssh/known_hosts");
    files.push_back("/etc/ssh/ssh_known_hosts");
    return files;
}

std::string hostAndPort(const platform::SftpLogin& l) { return l.host + " port " + std::to_string(l.port); }

}  // namespace

Task<bool> sftpLogin(ControlSession& c) {
    App& app = c.app;
    const auto& ssh = c.sshOptions();
    platform::SftpLogin login;
    login.host = c.hostField();
    login.port = sftpPort(c.portField());
    login.user = c.userField();
    login.password = c.passwordField();
    login.keyFile = ssh.keyFile;
    login.keyPassphrase = ssh.keyPassphrase;
    login.knownHostsFiles = knownHostsFiles(app);
    if (!ssh.hostKey.empty()) login.pinnedKeys.push_back(ssh.hostKey);
    if (app.s.acceptNewHostKeys) login.acceptNewInto = login.knownHostsFiles.front();
    login.timeoutSeconds = 20;
    // The session is under way: the watchdog judges its silence from now on
    // (as an FTP session's does from the greeting).
    if (!c.helper) app.s.sessionAborting = false;
    const SftpCall connect = [&login](platform::SftpConnection& s, auto done) { s.connect(login, done); };
    const std::string connectText = "connect " + login.user + " at " + hostAndPort(login);
    const auto r = co_await sftpCall(c, connect, connectText);
    if (!r) {
        c.failed = true;
        co_return false;
    }
    if (r->status == SftpStatus::Ok) co_return true;
    c.failed = true;
    const std::string pin = std::string("--") + c.job() + "-host-key " + r->fingerprint;
    switch (r->status) {
        case SftpStatus::HostKeyUnknown:
            c.hostKeyRefused = true;
            c.transportProblem = "Host Key Unknown: " + hostAndPort(login) + " presented the key " + r->fingerprint +
                                 ", which no known-hosts file holds; nothing was sent. Once it is confirmed to be "
                                 "the server's, pin it with " +
                                 pin + " or add it to a known-hosts file";
            break;
        case SftpStatus::HostKeyChanged:
            c.hostKeyRefused = true;
            c.transportProblem = "Host Key Changed: " + hostAndPort(login) + " presented the key " + r->fingerprint +
                                 ", not the one a known-hosts file holds for it; nothing was sent. Ask the "
                                 "server's operator before trusting the new key";
            break;
        case SftpStatus::LoginRefused:
            // Without a key it is the password, as for FTP.
            if (!login.keyFile.empty())
                c.transportProblem = "Key Refused: " + hostAndPort(login) + " accepted neither the key " +
                                     login.keyFile + " nor the SSH agent's keys nor the password for " + login.user +
                                     (r->message.empty() ? "" : " (" + r->message + ")");
            break;
        case SftpStatus::NoSubsystem:
            c.transportProblem =
                "SFTP Unavailable: " + hostAndPort(login) + " let " + login.user + " in but offers no SFTP";
            break;
        // The FTP wording: an unknown host, else (refused, or no answer) a
        // timeout.
        case SftpStatus::HostNotFound:
            c.socketError = platform::neterr::HostNotFound;
            break;
        case SftpStatus::ConnectFailed:
            c.socketError = platform::neterr::ConnectionRefused;
            break;
        default:
            c.socketError = 1;
            break;
    }
    co_return false;
}

bool sftpStillUp(ControlSession& c, const std::optional<SftpReply>& r) {
    // Being ended (taken over, shut down): whoever ends it decides.
    if (!r) return false;
    if (r->status != SftpStatus::Lost && r->status != SftpStatus::Busy) return true;
    // Lost as a reset control connection is: the session fails, and a file
    // in flight is worth the job's error retry.
    c.socketError = platform::neterr::ConnectionReset;
    c.failed = true;
    if (!c.app.s.sessionAborting && c.moving()) retryAfterError(c);
    return false;
}

}  // namespace corvantel

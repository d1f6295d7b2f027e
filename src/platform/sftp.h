#pragma once
// One SFTP connection (SSH, the "sftp" subsystem): the file operations a
// job needs, each asked for on the event loop and answered there later.
//
// One call at a time: a call made while another is still unanswered is
// refused with Busy at once (through done, like any answer). done always
// runs on the event loop, never inside the call that asked. close() ends
// the connection at once, whatever it is doing: a call still running is
// abandoned and its done never runs, so nothing ever waits on a stuck
// server.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace corvantel::platform {

// What a connection logs in with, and how it checks the server's key.
struct SftpLogin {
    std::string host;
    int port = 22;
    std::string user;
    // Tried when not empty (after the key and the agent).
    std::string password;
    // A private key in OpenSSH format (Ed25519, ECDSA, RSA), and its
    // passphrase (empty: none).
    std::string keyFile;
    std::string keyPassphrase;
    // Keys of the SSH agent at SSH_AUTH_SOCK are tried when it is set.
    bool agent = true;
    // The server's key must be one of these files' keys for host (OpenSSH
    // known_hosts format, hashed names too), or one of the pinned
    // fingerprints ("SHA256:" and the base64 of the key's SHA-256, as
    // ssh-keygen -l prints it). Checked before any password or key is
    // offered.
    std::vector<std::string> knownHostsFiles;
    std::vector<std::string> pinnedKeys;
    // A key for host in none of the files and matching no pin is added to
    // this file and taken (OpenSSH's accept-new); empty: refused. A key that
    // differs from one the files hold for host is refused all the same.
    std::string acceptNewInto;
    // The bound of every network wait of one call, in seconds.
    int timeoutSeconds = 30;
};

struct SftpEntry {
    std::string name;
    // -1: unknown.
    std::int64_t size = -1;
    // Seconds since 1970 (UTC); -1: unknown.
    std::int64_t mtime = -1;
    bool regular = false;
};

enum class SftpStatus {
    Ok,
    // read: the file has ended (no bytes come with it).
    Eof,
    NoSuchFile,
    PermissionDenied,
    // Any other refusal of the server (SSH_FX_FAILURE and the rest).
    Failure,
    // connect: nothing accepts a connection at the host's address (refused,
    // or no answer in time).
    ConnectFailed,
    // connect: the server's key is unknown (in no file, matching no pin),
    // or differs from the one a file holds for host. The fingerprint is in
    // SftpReply::fingerprint.
    HostKeyUnknown,
    HostKeyChanged,
    // connect: no password or key was accepted.
    LoginRefused,
    // connect: the server has no "sftp" subsystem for this user.
    NoSubsystem,
    // The connection was lost or timed out (the call's outcome is unknown).
    Lost,
    // A call while another is unanswered, or on a connection not connected.
    Busy,
    // connect: the host name does not resolve.
    HostNotFound,
};

struct SftpReply {
    SftpReply() = default;
    explicit SftpReply(SftpStatus s, std::string why = {}) : status(s), message(std::move(why)) {}

    SftpStatus status = SftpStatus::Ok;
    // What went wrong, in the library's or server's words (for the logs).
    std::string message;
    // connect: the server's key ("SHA256:..."), also when it was refused.
    std::string fingerprint;
    // connect: the server offers posix-rename@openssh.com.
    bool posixRename = false;
    // list: the folder's entries ("." and ".." left out).
    std::vector<SftpEntry> entries;
    // stat: the file's attributes (name empty).
    SftpEntry attributes;
    // read: the next bytes of the file, in order.
    std::string bytes;
};

class SftpConnection {
public:
    using Done = std::function<void(SftpReply)>;
    virtual ~SftpConnection() = default;

    // Connects, checks the server's key, logs in and starts the subsystem.
    virtual void connect(const SftpLogin& login, Done done) = 0;
    // The entries of folder (empty: the login's folder), with attributes.
    virtual void list(const std::string& folder, Done done) = 0;
    // A file's attributes (links followed).
    virtual void stat(const std::string& path, Done done) = 0;
    // Opens path for reading from offset; read() then gives its bytes in
    // order (at most maxReadBytes at a time), Eof once the server says the
    // file has ended. Reads may be asked ahead of time by the connection,
    // but never more than a bounded amount.
    virtual void openRead(const std::string& path, std::int64_t offset, Done done) = 0;
    // The size the next openRead's file is expected to have (the listing's),
    // a hint only: reads are cut at it so that a file of that size is read
    // to its end in one round trip. Whatever the hint, the bytes and the end
    // are the server's.
    virtual void expectSize(std::int64_t size) { (void)size; }
    // The file the caller will likely read after the next openRead's: it
    // may be opened in the same round trip (a hint only: a handle opened
    // ahead and not asked for is closed).
    virtual void openAhead(const std::string& path) { (void)path; }
    // The file the caller will write next (from its start) after the next
    // closeFile: its open, which creates or truncates it, may go out with
    // that close. Only for a file that will be written next.
    virtual void openWriteAhead(const std::string& path) { (void)path; }
    virtual void read(Done done) = 0;
    // Opens path for writing: created or truncated when offset is 0, else
    // written from offset on (the bytes before it kept). write() appends
    // bytes at the current position: Ok once they are on their way (a
    // bounded number of writes may wait for the server's acknowledgement; a
    // refusal is told by a later write or by closeFile).
    virtual void openWrite(const std::string& path, std::int64_t offset, Done done) = 0;
    virtual void write(std::string bytes, Done done) = 0;
    // Closes the open file once every write is acknowledged (a write the
    // server refused, or its answer to the close, is a failure). For a file
    // written, attributes holds what the server told of it after the last
    // write (size -1: not told). A file read is closed without waiting for
    // the server's answer.
    virtual void closeFile(Done done) = 0;
    // Renames from to to: replacing an existing to in one step where the
    // server offers posix-rename@openssh.com, else a plain rename (which
    // most servers refuse onto an existing name).
    virtual void rename(const std::string& from, const std::string& to, Done done) = 0;
    virtual void remove(const std::string& path, Done done) = 0;
    // Ends the connection at once (see above). The connection can then be
    // connected again.
    virtual void close() = 0;
    // Whether a call is unanswered.
    virtual bool busy() const = 0;

    static constexpr std::size_t maxReadBytes = 256 * 1024;
};

}  // namespace corvantel::platform

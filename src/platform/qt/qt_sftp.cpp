// SFTP connections on libssh.
//
// libssh does the SSH part: key exchange, the server's key, the login and
// the session channel. The SFTP protocol (version 3) on that channel is
// ours: reads and writes are pipelined (many requests in flight, answers
// matched by id, a short read re-requested in order), every packet the
// server sends is bounded, and posix-rename@openssh.com is sent when the
// server offers it (libssh 0.10's sftp_rename never uses it).
//
// Threads: every connection has one worker thread that makes the blocking
// libssh calls, one call at a time. Its answers cross to the loop's thread
// as queued Qt calls to a QObject of the connection (thread-safe, dropped by
// Qt when that object is deleted), which puts them on the context's FIFO;
// there a generation number drops the answers of a connection closed since.
// close() never waits for the worker: it shuts the socket down under it so
// that whatever libssh call is running fails at once, and the worker ends
// on its own, holding the state it needs by shared pointer.

#include <fcntl.h>
#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QMetaObject>
#include <QObject>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <optional>
#include <utility>
#include <vector>

#include "platform/qt/qt_internal.h"

namespace corvantel::platform::qt {

namespace {

// ---- Bounds

// The largest SFTP packet taken from a server (OpenSSH's own limit is
// 256 KiB; a folder listing's packets are the largest).
constexpr std::uint32_t kMaxPacket = 1024 * 1024;
// The channel's receive window: libssh lets the server send this much ahead
// of what we have read (it grows the window to the size of a read).
constexpr std::uint32_t kWindow = 2 * 1024 * 1024;
// The window is opened again once less than this is left of it.
constexpr std::uint32_t kWindowRefill = kWindow / 4 * 3;
// What libssh may hold for the channel before we read it. An honest server
// stays within the window; one that goes past this is cut off.
constexpr std::size_t kChannelBufferLimit = 2 * kWindow;
// Our receive buffer: a window's worth plus one whole packet.
constexpr std::size_t kInCapacity = kWindow + kMaxPacket + 64 * 1024;
// Reads: requests of kReadChunk bytes at first, doubled while the server
// answers them whole, up to kReadChunkMost (what OpenSSH's server answers);
// a server that answers less caps them at that for the connection. At most
// kReadAhead requests and kReadAheadBytes in flight (a window's worth).
constexpr std::uint32_t kReadChunk = 64 * 1024;
constexpr std::uint32_t kReadChunkMost = 255 * 1024;
constexpr std::size_t kReadAhead = 32;
constexpr std::uint64_t kReadAheadBytes = kWindow;
// Writes: requests of kWriteChunk bytes, at most kWriteAhead unanswered.
constexpr std::size_t kWriteChunk = 64 * 1024;
constexpr std::size_t kWriteAhead = 32;
// A listing keeps at most this many entries, names of at most kMaxName bytes.
constexpr std::size_t kMaxEntries = 100000;
constexpr std::size_t kMaxName = 4096;
constexpr std::size_t kMaxHandle = 256;
// Closes left unanswered at most (the server answers every request).
constexpr std::size_t kMaxDropped = 64;
// Answers in a row that bring no byte of a file before a read gives up.
constexpr int kMaxEmptyReads = 16;

// ---- SFTP version 3

enum : std::uint8_t {
    FXP_INIT = 1,
    FXP_VERSION = 2,
    FXP_OPEN = 3,
    FXP_CLOSE = 4,
    FXP_READ = 5,
    FXP_WRITE = 6,
    FXP_FSTAT = 8,
    FXP_OPENDIR = 11,
    FXP_READDIR = 12,
    FXP_REMOVE = 13,
    FXP_STAT = 17,
    FXP_RENAME = 18,
    FXP_STATUS = 101,
    FXP_HANDLE = 102,
    FXP_DATA = 103,
    FXP_NAME = 104,
    FXP_ATTRS = 105,
    FXP_EXTENDED = 200,
};

enum : std::uint32_t {
    FX_OK = 0,
    FX_EOF = 1,
    FX_NO_SUCH_FILE = 2,
    FX_PERMISSION_DENIED = 3,
};

enum : std::uint32_t {
    FXF_READ = 0x01,
    FXF_WRITE = 0x02,
    FXF_CREAT = 0x08,
    FXF_TRUNC = 0x10,
};

enum : std::uint32_t {
    ATTR_SIZE = 0x01,
    ATTR_UIDGID = 0x02,
    ATTR_PERMISSIONS = 0x04,
    ATTR_ACMODTIME = 0x08,
    ATTR_EXTENDED = 0x80000000u,
};

// The connection can no longer be used (transport error, time-out, or a
// server breaking the protocol): the call ends with Lost.
struct LostError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void put32(std::string& out, std::uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
    out.append(b, 4);
}

void put64(std::string& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v >> 32));
    put32(out, static_cast<std::uint32_t>(v));
}

void putString(std::string& out, const char* data, std::size_t n) {
    put32(out, static_cast<std::uint32_t>(n));
    out.append(data, n);
}

void putString(std::string& out, const std::string& s) { putString(out, s.data(), s.size()); }

// The packet length is written last, over the four bytes left for it.
void finishPacket(std::string& pkt) {
    const std::uint32_t len = static_cast<std::uint32_t>(pkt.size() - 4);
    pkt[0] = static_cast<char>(len >> 24);
    pkt[1] = static_cast<char>(len >> 16);
    pkt[2] = static_cast<char>(len >> 8);
    pkt[3] = static_cast<char>(len);
}
void startPacket(std::string& pkt, std::uint8_t type, std::uint32_t id) {
    pkt.clear();
    put32(pkt, 0);
    pkt += static_cast<char>(type);
    put32(pkt, id);
}

std::uint32_t get32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (std::uint32_t{u[0]} << 24) | (std::uint32_t{u[1]} << 16) | (std::uint32_t{u[2]} << 8) | u[3];
}

// Reads the fields of one packet's body, every length checked against what
// is left.
class Fields {
public:
    Fields(const char* p, std::size_t n) : p_(p), n_(n) {}

    std::size_t left() const { return n_; }

    std::uint32_t u32() {
        need(4);
        std::uint32_t v = get32(p_);
        skip(4);
        return v;
    }
    std::uint64_t u64() {
        std::uint64_t hi = u32();
        return (hi << 32) | u32();
    }
    // A string's bytes (pointing into the packet) and length.
    std::pair<const char*, std::size_t> bytes() {
        std::uint32_t n = u32();
        need(n);
        const char* at = p_;
        skip(n);
        return {at, n};
    }
    std::string string(std::size_t max) {
        auto [at, n] = bytes();
        if (n > max) throw LostError("the server sent a string of " + std::to_string(n) + " bytes");
        return std::string(at, n);
    }

private:
    void need(std::size_t k) const {
        if (n_ < k) throw LostError("the server sent a malformed packet");
    }
    void skip(std::size_t k) {
        p_ += k;
        n_ -= k;
    }
    const char* p_;
    std::size_t n_;
};

// A file's attributes. Version 3 has no type field: the type comes from the
// permissions' S_IFMT bits, so a server that leaves out the permissions
// gives no regular file.
SftpEntry readAttributes(Fields& f) {
    SftpEntry e;
    const std::uint32_t flags = f.u32();
    if (flags & ATTR_SIZE) {
        const std::uint64_t size = f.u64();
        e.size = size > static_cast<std::uint64_t>(INT64_MAX) ? -1 : static_cast<std::int64_t>(size);
    }
    if (flags & ATTR_UIDGID) {
        f.u32();
        f.u32();
    }
    if (flags & ATTR_PERMISSIONS) {
        const std::uint32_t mode = f.u32();
        e.regular = (mode & S_IFMT) == S_IFREG;
    }
    if (flags & ATTR_ACMODTIME) {
        f.u32();
        e.mtime = static_cast<std::int64_t>(f.u32());
    }
    if (flags & ATTR_EXTENDED) {
        std::uint32_t count = f.u32();
        // Each pair takes at least 8 bytes: a count past that is a lie.
        if (count > f.left() / 8) throw LostError("the server sent a malformed packet");
        for (std::uint32_t i = 0; i < count; ++i) {
            f.bytes();
            f.bytes();
        }
    }
    return e;
}

SftpStatus statusOf(std::uint32_t code) {
    switch (code) {
        case FX_OK:
            return SftpStatus::Ok;
        case FX_EOF:
            return SftpStatus::Eof;
        case FX_NO_SUCH_FILE:
            return SftpStatus::NoSuchFile;
        case FX_PERMISSION_DENIED:
            return SftpStatus::PermissionDenied;
        default:
            return SftpStatus::Failure;
    }
}

SftpReply reply(SftpStatus status, std::string message = {}) {
    SftpReply r;
    r.status = status;
    r.message = std::move(message);
    return r;
}

std::string base64Unpadded(const unsigned char* p, std::size_t n) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < n; i += 3) {
        const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    if (i + 1 == n) {
        const std::uint32_t v = std::uint32_t{p[i]} << 16;
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
    } else if (i + 2 == n) {
        const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
    }
    return out;
}

// A pin as written by a user: "SHA256:" and base64, padding optional.
std::string normalisePin(std::string pin) {
    while (!pin.empty() && (pin.back() == '=' || pin.back() == ' ' || pin.back() == '\n')) pin.pop_back();
    while (!pin.empty() && pin.front() == ' ') pin.erase(pin.begin());
    return pin;
}

// ---- State shared by the loop's thread and one connection's worker

class Session;

// One connection's worker: the call it is to make next, and the socket it
// uses (our own descriptor of it, libssh has a duplicate), so that close()
// can shut it down under a call that is stuck.
struct Link {
    using Job = std::function<SftpReply(Session&)>;

    std::mutex m;
    std::condition_variable cv;
    Job job;
    bool stop = false;
    int fd = -1;
    std::atomic<bool> abandoned{false};

    ~Link() {
        if (fd >= 0) ::close(fd);
    }

    void submit(Job j) {
        std::lock_guard<std::mutex> lock(m);
        job = std::move(j);
        cv.notify_all();
    }

    // Ends the worker. hard: a call may be running; the socket is shut down
    // so that it fails at once.
    void end(bool hard) {
        std::lock_guard<std::mutex> lock(m);
        stop = true;
        if (hard) {
            abandoned = true;
            if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        }
        cv.notify_all();
    }

    // Takes over a connected socket; false (socket closed) when the
    // connection was closed meanwhile.
    bool adopt(int sock) {
        std::lock_guard<std::mutex> lock(m);
        if (abandoned || stop) {
            ::close(sock);
            return false;
        }
        fd = sock;
        return true;
    }

    // Cuts the connection off from the worker itself (a server breaking
    // our bounds).
    void cutOff() {
        std::lock_guard<std::mutex> lock(m);
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }
};

// Where a worker sends its answers: a QObject living on the loop's thread.
// The connection clears receiver (under the lock) before deleting it, so a
// worker never posts to a deleted object, and Qt drops what was posted to
// it before.
struct Mailbox {
    std::mutex m;
    QObject* receiver = nullptr;

    void post(std::function<void()> fn) {
        std::lock_guard<std::mutex> lock(m);
        if (receiver) QMetaObject::invokeMethod(receiver, std::move(fn), Qt::QueuedConnection);
    }
};

// ---- The worker's side: one SSH session and its SFTP channel

class Session {
public:
    explicit Session(Link& link) : link_(link) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() { release(); }

    // Runs one call, turning a lost connection into its answer.
    template <typename F>
    SftpReply guarded(F&& f) {
        if (dead_) return reply(SftpStatus::Lost, deadWhy_);
        try {
            return f();
        } catch (const LostError& e) {
            dead_ = true;
            deadWhy_ = overflow_ ? "the server sent more than its window allows" : e.what();
            return reply(SftpStatus::Lost, deadWhy_);
        }
    }

    SftpReply connect(const SftpLogin& login);
    SftpReply list(const std::string& folder);
    SftpReply stat(const std::string& path);
    SftpReply openRead(const std::string& path, std::int64_t offset, std::int64_t sizeHint,
                       const std::string& ahead);
    SftpReply read();
    // While the loop deals with the bytes last handed over, the worker takes
    // the next ones off the connection (one read's worth, kept for the next
    // read()), rather than waiting idle for that call.
    bool mayReadAhead() const { return mode_ == Mode::Reading && !early_ && !dead_ && !readEof_ && !readFailed_; }
    void readAhead() { early_ = guarded([&] { return read(); }); }
    SftpReply openWrite(const std::string& path, std::int64_t offset);
    SftpReply write(const std::string& bytes);
    SftpReply closeFile(const std::string& ahead);
    SftpReply rename(const std::string& from, const std::string& to);
    SftpReply remove(const std::string& path);

private:
    struct Packet {
        std::uint8_t type = 0;
        std::uint32_t id = 0;
        const char* body = nullptr;  // after the id; valid until the next receive
        std::size_t size = 0;
        Fields fields() const { return Fields(body, size); }
    };
    struct ReadRequest {
        std::uint32_t id = 0;
        std::uint64_t offset = 0;
        std::uint32_t length = 0;
        bool answered = false;
        bool isData = false;
        std::uint32_t code = 0;
        // isData: the bytes, or (taken) their count when they went straight
        // to ready_ (the answer to the front request, the usual case).
        std::string data;
        bool taken = false;
        std::uint32_t count = 0;
        std::string message;  // a status
    };
    enum class Mode { None, Reading, Writing };

    static int onChannelData(ssh_session, ssh_channel, void*, uint32_t len, int isStderr, void* user) {
        auto* self = static_cast<Session*>(user);
        // The server's stderr is of no use here: dropped as it comes.
        if (isStderr) return static_cast<int>(len);
        if (len > kChannelBufferLimit && !self->overflow_) {
            self->overflow_ = true;
            self->link_.cutOff();
        }
        return 0;  // kept for ssh_channel_read
    }

    std::string sshError() const { return s_ ? ssh_get_error(s_) : "no session"; }
    void release();
    // The connected socket; -2 when the host name does not resolve, -1 when
    // nothing at its addresses accepts (why says what failed).
    int openSocket(const SftpLogin& login, std::string& why);
    SftpReply checkHostKey(const SftpLogin& login, std::string& fingerprint);
    SftpReply authenticate(const SftpLogin& login);
    SftpReply startSubsystem();

    std::uint32_t nextId() { return ++lastId_; }
    void send(const std::string& packet);
    // Moves what the channel holds into in_: waiting up to the bound, or not
    // at all (false when nothing was there).
    bool fill(bool block);
    bool takePacket(Packet& p);
    Packet receive();
    bool tryReceive(Packet& p);
    // The answer to request id; answers to pipelined reads and writes that
    // come first go to them.
    Packet await(std::uint32_t id);
    bool dispatchPipelined(const Packet& p);
    // A packet that is not the answer awaited: the answer to a pipelined
    // request, or the connection is judged lost.
    void takePipelined(const Packet& p);
    // Opens path into handle_ with flags: the answer of the open sent ahead
    // when takeAhead (it is this one), else an open sent now. Ok, or the
    // server's refusal.
    SftpReply openHandle(const std::string& path, std::uint32_t flags, bool takeAhead);
    SftpReply statusReply(const Packet& p);
    SftpReply expectStatus(std::uint32_t id);

    void askRead(std::uint64_t offset, std::uint32_t length, bool front);
    void settleReads();
    void reapWrite(const Packet& p);
    void settleWrites();
    SftpReply closeHandle(const std::string& ahead = {});

    Link& link_;
    ssh_session s_ = nullptr;
    ssh_channel ch_ = nullptr;
    ssh_channel_callbacks_struct callbacks_{};
    bool dead_ = false;
    std::string deadWhy_;
    bool overflow_ = false;
    int timeoutMs_ = 30000;
    bool posixRename_ = false;
    std::uint32_t lastId_ = 0;

    std::vector<char> in_;
    std::size_t head_ = 0, tail_ = 0;
    // At least what the channel holds for us plus what its window still
    // lets the server send (see fill()).
    std::size_t room_ = 0;
    std::string out_;

    // The open file.
    Mode mode_ = Mode::None;
    std::string handle_;
    // Reading: requests in order of offset (the front is the next byte to
    // hand over), bytes in order not yet handed over.
    std::deque<ReadRequest> reads_;
    std::uint64_t askAt_ = 0;
    // The read size now, and the most the server answers (learnt on this
    // connection).
    std::uint32_t chunk_ = kReadChunk;
    std::uint32_t readCap_ = kReadChunkMost;
    // Asks for more while the limits above allow.
    void askAhead() {
        std::uint64_t asked = 0;
        for (const auto& r : reads_) asked += r.length;
        while (!endSeen_ && reads_.size() < kReadAhead && asked < kReadAheadBytes && mayAsk()) {
            asked += nextLength();
            askRead(askAt_, nextLength(), false);
        }
    }
    // The size the file is expected to have: requests end there, and the
    // next one starts there, so that the end of a file as expected shows in
    // the first round trip (no short read to ask again for). kNoHint: none.
    static constexpr std::uint64_t kNoHint = ~std::uint64_t{0};
    std::uint64_t sizeHint_ = kNoHint;
    std::uint32_t nextLength() const {
        if (sizeHint_ == kNoHint || askAt_ >= sizeHint_) return chunk_;
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk_, sizeHint_ - askAt_));
    }
    // Whether more is asked for: up to the first request at or past the
    // expected size, and on only once bytes came from past it (one request
    // is always under way, whatever the hint).
    bool pastHint_ = false;
    bool mayAsk() const { return sizeHint_ == kNoHint || pastHint_ || askAt_ <= sizeHint_ || reads_.empty(); }
    // A file opened ahead for reading, the one the caller said it would read
    // next: its OPEN goes out with the current file's reads, and its answer
    // is kept for the openRead that asks for it (or its handle closed).
    struct Ahead {
        std::string path;
        std::uint32_t id = 0;
        bool answered = false;
        std::string handle;  // empty: refused
        SftpReply refusal;
        bool write = false;  // opened for writing (created or truncated)
    };
    // Sends the open of ahead (for reading, or for writing from its start).
    void openAheadNow(const std::string& ahead, bool write);
    std::optional<Ahead> ahead_;
    void dropAhead();
    // Closes handle without waiting for the answer (the next request's wait
    // takes it and drops it).
    void closeUnawaited(const std::string& handle);
    bool endSeen_ = false;
    bool readEof_ = false;
    int emptyReads_ = 0;
    SftpReply readError_;
    bool readFailed_ = false;
    std::string ready_;
    std::optional<SftpReply> early_;  // read ahead, for the next read()
    // Writing: the ids of writes not yet answered, the next offset, and the
    // first refusal (told at the next write or at the close).
    std::deque<std::uint32_t> writes_;
    // Requests whose answers are dropped when they come (the close of a file
    // read to its end: nothing in its answer changes what was read).
    std::deque<std::uint32_t> dropped_;
    std::uint64_t writeAt_ = 0;
    bool writeFailed_ = false;
    SftpReply writeError_;
};

void Session::release() {
    if (!s_) return;
    // Nothing may wait on the server any more.
    ssh_set_blocking(s_, 0);
    if (ch_) ssh_channel_free(ch_);
    ch_ = nullptr;
    if (ssh_is_connected(s_)) ssh_disconnect(s_);
    ssh_free(s_);
    s_ = nullptr;
}

int Session::openSocket(const SftpLogin& login, std::string& why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(login.port);
    if (int rc = ::getaddrinfo(login.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        why = "cannot resolve " + login.host + ": " + ::gai_strerror(rc);
        return -2;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    why = "nothing answers at " + login.host + " port " + port;
    for (addrinfo* a = found; a; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            // Waited for in slices, so that a closed connection stops here.
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count();
                if (left <= 0 || link_.abandoned) {
                    errno = ETIMEDOUT;
                    break;
                }
                pollfd p{fd, POLLOUT, 0};
                int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
                if (n > 0) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                    rc = err == 0 ? 0 : -1;
                    errno = err;
                    break;
                }
                if (n < 0 && errno != EINTR) break;
            }
        }
        if (rc == 0) {
            int flags = ::fcntl(fd, F_GETFL);
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            // Requests sent back to back (reads ahead, a stat and a close)
            // go out at once, not after the first one's acknowledgement
            // (libssh sets this only on sockets it opens itself).
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        why = "cannot connect to " + login.host + " port " + port + ": " + std::strerror(errno);
        ::close(fd);
        if (link_.abandoned) break;
    }
    return -1;
}

SftpReply Session::connect(const SftpLogin& login) {
    timeoutMs_ = std::clamp(login.timeoutSeconds, 1, 24 * 3600) * 1000;
    std::string why;
    int fd = openSocket(login, why);
    if (fd < 0) return reply(fd == -2 ? SftpStatus::HostNotFound : SftpStatus::ConnectFailed, why);
    if (!link_.adopt(fd)) return reply(SftpStatus::Lost, "closed");
    // libssh gets a duplicate and closes it itself; ours stays open (and
    // can be shut down) as long as the link lives.
    int sshFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (sshFd < 0) return reply(SftpStatus::ConnectFailed, std::string("dup: ") + std::strerror(errno));

    s_ = ssh_new();
    if (!s_) {
        ::close(sshFd);
        return reply(SftpStatus::Failure, "libssh could not make a session");
    }
    const long timeout = timeoutMs_ / 1000;
    const int strict = 1;
    const int no = 0;
    const int yes = 1;
    ssh_options_set(s_, SSH_OPTIONS_FD, &sshFd);
    // Neither ~/.ssh/config nor /etc/ssh/ssh_config: the login says it all.
    ssh_options_set(s_, SSH_OPTIONS_PROCESS_CONFIG, &no);
    ssh_options_set(s_, SSH_OPTIONS_HOST, login.host.c_str());
    ssh_options_set(s_, SSH_OPTIONS_PORT, &login.port);
    ssh_options_set(s_, SSH_OPTIONS_USER, login.user.c_str());
    ssh_options_set(s_, SSH_OPTIONS_TIMEOUT, &timeout);
    ssh_options_set(s_, SSH_OPTIONS_STRICTHOSTKEYCHECK, &strict);
    ssh_options_set(s_, SSH_OPTIONS_NODELAY, &yes);
    // AES-GCM first: with AES-NI it is the cheapest on the CPU here.
    const char* ciphers =
        "aes128-gcm@openssh.com,aes256-gcm@openssh.com,chacha20-poly1305@openssh.com,aes128-ctr,aes256-ctr";
    ssh_options_set(s_, SSH_OPTIONS_CIPHERS_C_S, ciphers);
    ssh_options_set(s_, SSH_OPTIONS_CIPHERS_S_C, ciphers);
    // The first two files let libssh prefer the key types they hold for
    // host during the key exchange (the check below reads every file).
    // libssh expands '%' in these paths, so such paths are left out here.
    auto usable = [](const std::string& f) { return !f.empty() && f.find('%') == std::string::npos; };
    std::vector<std::string> hinted;
    for (const auto& f : login.knownHostsFiles)
        if (usable(f) && hinted.size() < 2) hinted.push_back(f);
    const std::string none = "/dev/null";
    ssh_options_set(s_, SSH_OPTIONS_KNOWNHOSTS, (hinted.size() > 0 ? hinted[0] : none).c_str());
    ssh_options_set(s_, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, (hinted.size() > 1 ? hinted[1] : none).c_str());

    if (ssh_connect(s_) != SSH_OK) return reply(SftpStatus::Lost, "SSH handshake: " + sshError());

    std::string fingerprint;
    SftpReply checked = checkHostKey(login, fingerprint);
    checked.fingerprint = fingerprint;
    if (checked.status != SftpStatus::Ok) return checked;

    SftpReply authed = authenticate(login);
    authed.fingerprint = fingerprint;
    if (authed.status != SftpStatus::Ok) return authed;

    SftpReply started = guarded([&] { return startSubsystem(); });
    started.fingerprint = fingerprint;
    started.posixRename = posixRename_;
    if (started.status == SftpStatus::Ok && started.message.empty()) started.message = checked.message;
    return started;
}

SftpReply Session::checkHostKey(const SftpLogin& login, std::string& fingerprint) {
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(s_, &key) != SSH_OK || !key)
        return reply(SftpStatus::Lost, "no host key from the server: " + sshError());
    std::unique_ptr<ssh_key_struct, void (*)(ssh_key)> keep(key, ssh_key_free);
    unsigned char* hash = nullptr;
    size_t hashLen = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLen) != 0 || !hash)
        return reply(SftpStatus::Lost, "cannot hash the host key: " + sshError());
    fingerprint = "SHA256:" + base64Unpadded(hash, hashLen);
    ssh_clean_pubkey_hash(&hash);

    for (const auto& pin : login.pinnedKeys)
        if (normalisePin(pin) == fingerprint) return reply(SftpStatus::Ok);

    bool changed = false;
    for (const auto& file : login.knownHostsFiles) {
        if (file.empty()) continue;
        // Both of libssh's files set to this one: is_known_server reads
        // exactly the file asked about.
        ssh_options_set(s_, SSH_OPTIONS_KNOWNHOSTS, file.c_str());
        ssh_options_set(s_, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, file.c_str());
        switch (ssh_session_is_known_server(s_)) {
            case SSH_KNOWN_HOSTS_OK:
                return reply(SftpStatus::Ok);
            case SSH_KNOWN_HOSTS_CHANGED:
            case SSH_KNOWN_HOSTS_OTHER:
                changed = true;
                break;
            default:
                break;
        }
    }
    if (changed)
        return reply(SftpStatus::HostKeyChanged,
                     "the server's key " + fingerprint + " differs from the key on file for " + login.host);
    if (login.acceptNewInto.empty())
        return reply(SftpStatus::HostKeyUnknown, "the server's key " + fingerprint + " is not known");

    // OpenSSH's accept-new: the key is written down and taken.
    char* entry = nullptr;
    if (ssh_session_export_known_hosts_entry(s_, &entry) != SSH_OK || !entry)
        return reply(SftpStatus::HostKeyUnknown, "cannot write the server's key down: " + sshError());
    std::string line = entry;
    ssh_string_free_char(entry);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    line += '\n';
    int fd = ::open(login.acceptNewInto.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return reply(SftpStatus::HostKeyUnknown,
                     "cannot add the server's key to " + login.acceptNewInto + ": " + std::strerror(errno));
    // A last line without its newline gets one first.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') line.insert(line.begin(), '\n');
    }
    bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ok = (::close(fd) == 0) && ok;
    if (!ok)
        return reply(SftpStatus::HostKeyUnknown,
                     "cannot add the server's key to " + login.acceptNewInto + ": " + std::strerror(errno));
    return reply(SftpStatus::Ok, "added the server's key " + fingerprint + " to " + login.acceptNewInto);
}

SftpReply Session::authenticate(const SftpLogin& login) {
    std::string tried;
    auto note = [&](const std::string& what) { tried += (tried.empty() ? "" : "; ") + what; };
    auto lost = [&] { return reply(SftpStatus::Lost, "login: " + sshError()); };

    // With a key, the key is offered first (its refusal tells the methods
    // left); without one, "none" asks for them. Either way one round trip.
    int rc = SSH_AUTH_DENIED;
    if (login.keyFile.empty()) {
        rc = ssh_userauth_none(s_, nullptr);
        if (rc == SSH_AUTH_SUCCESS) return reply(SftpStatus::Ok);
        if (rc == SSH_AUTH_ERROR) return lost();
    }
    int methods = ssh_userauth_list(s_, nullptr);

    if (!login.keyFile.empty()) {
        ssh_key key = nullptr;
        const char* pass = login.keyPassphrase.empty() ? nullptr : login.keyPassphrase.c_str();
        if (ssh_pki_import_privkey_file(login.keyFile.c_str(), pass, nullptr, nullptr, &key) != SSH_OK || !key) {
            note("cannot load the key " + login.keyFile + (pass ? " (wrong passphrase?)" : ""));
        } else {
            rc = ssh_userauth_publickey(s_, nullptr, key);
            ssh_key_free(key);
            if (rc == SSH_AUTH_SUCCESS) return reply(SftpStatus::Ok);
            if (rc == SSH_AUTH_ERROR) return lost();
            note("the key " + login.keyFile + " was refused");
        }
        if (rc != SSH_AUTH_DENIED || methods == 0) {
            // The key never went out (it could not be loaded): "none" asks.
            rc = ssh_userauth_none(s_, nullptr);
            if (rc == SSH_AUTH_SUCCESS) return reply(SftpStatus::Ok);
            if (rc == SSH_AUTH_ERROR) return lost();
        }
        methods = ssh_userauth_list(s_, nullptr);
    }
    if (login.agent) {
        const char* sock = std::getenv("SSH_AUTH_SOCK");
        if (sock && *sock) {
            rc = ssh_userauth_agent(s_, nullptr);
            if (rc == SSH_AUTH_SUCCESS) return reply(SftpStatus::Ok);
            if (rc == SSH_AUTH_ERROR && !ssh_is_connected(s_)) return lost();
            note("no key of the agent was accepted");
        }
    }
    if (!login.password.empty()) {
        if (methods & SSH_AUTH_METHOD_PASSWORD) {
            rc = ssh_userauth_password(s_, nullptr, login.password.c_str());
            if (rc == SSH_AUTH_SUCCESS) return reply(SftpStatus::Ok);
            if (rc == SSH_AUTH_ERROR) return lost();
            note("the password was refused");
        } else if (methods & SSH_AUTH_METHOD_INTERACTIVE) {
            // Keyboard-interactive: every prompt is answered with the
            // password, for a few rounds at most.
            rc = ssh_userauth_kbdint(s_, nullptr, nullptr);
            for (int round = 0; rc == SSH_AUTH_INFO && round < 4; ++round) {
                const int prompts = ssh_userauth_kbdint_getnprompts(s_);
                for (int i = 0; i < prompts && i < 8; ++i)
                    ssh_userauth_kbdint_setanswer(s_, static_cast<unsigned>(i), login.password.c_str());
                rc = ssh_userauth_kbdint(s_, nullptr, nullptr);
            }
            if (rc == SSH_AUTH_SUCCESS) return reply(SftpStatus::Ok);
            if (rc == SSH_AUTH_ERROR) return lost();
            note("the password was refused (keyboard-interactive)");
        } else {
            note("the server takes no password");
        }
    }
    if (tried.empty()) tried = "nothing to log in with";
    return reply(SftpStatus::LoginRefused, "login refused for " + login.user + ": " + tried);
}

SftpReply Session::startSubsystem() {
    ch_ = ssh_channel_new(s_);
    if (!ch_) return reply(SftpStatus::NoSubsystem, "cannot make a channel: " + sshError());
    room_ = 0;
    chunk_ = kReadChunk;
    readCap_ = kReadChunkMost;
    callbacks_ = {};
    callbacks_.userdata = this;
    callbacks_.channel_data_function = &Session::onChannelData;
    ssh_callbacks_init(&callbacks_);
    ssh_set_channel_callbacks(ch_, &callbacks_);
    if (ssh_channel_open_session(ch_) != SSH_OK) {
        if (!ssh_is_connected(s_)) throw LostError("opening a channel: " + sshError());
        return reply(SftpStatus::NoSubsystem, "the server opens no session channel: " + sshError());
    }
    if (ssh_channel_request_subsystem(ch_, "sftp") != SSH_OK) {
        if (!ssh_is_connected(s_)) throw LostError("asking for sftp: " + sshError());
        return reply(SftpStatus::NoSubsystem, "the server has no sftp subsystem: " + sshError());
    }
    in_.assign(kInCapacity, 0);
    std::string init;
    put32(init, 5);
    init += static_cast<char>(FXP_INIT);
    put32(init, 3);
    send(init);
    // A channel that ends or carries something else (a shell's text) has
    // no SFTP server behind it; a silent one is a time-out (Lost).
    Packet p;
    try {
        p = receive();
    } catch (const LostError& e) {
        if (!ssh_channel_is_eof(ch_) && ssh_is_connected(s_) && std::strstr(e.what(), "packet") == nullptr) throw;
        return reply(SftpStatus::NoSubsystem, std::string("no SFTP server on the channel: ") + e.what());
    }
    if (p.type != FXP_VERSION) return reply(SftpStatus::NoSubsystem, "no SFTP server on the channel");
    const std::uint32_t version = p.id;  // VERSION has the version where others have an id
    if (version < 3)
        return reply(SftpStatus::NoSubsystem, "the server speaks SFTP version " + std::to_string(version));
    Fields f = p.fields();
    while (f.left() > 0) {
        auto [name, nameLen] = f.bytes();
        auto [data, dataLen] = f.bytes();
        if (std::string_view(name, nameLen) == "posix-rename@openssh.com" && std::string_view(data, dataLen) == "1")
            posixRename_ = true;
    }
    return reply(SftpStatus::Ok);
}

void Session::send(const std::string& packet) {
    const char* p = packet.data();
    std::size_t left = packet.size();
    while (left > 0) {
        int n = ssh_channel_write(ch_, p, static_cast<uint32_t>(left));
        if (n == SSH_ERROR) throw LostError("sending: " + sshError());
        if (n <= 0) throw LostError("sending: the server takes nothing (timed out)");
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

bool Session::fill(bool block) {
    if (head_ == tail_) {
        head_ = tail_ = 0;
    } else if (in_.size() - tail_ < kMaxPacket + 4) {
        std::memmove(in_.data(), in_.data() + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
    // libssh adjusts the channel's window whenever a read asks for more than
    // it holds plus what the window still allows. Asking for a whole window
    // every time cost an adjustment (an SSH packet each way to handle) per
    // packet received; a read asks for what is left, and for a whole window
    // again only once less than kWindowRefill is.
    const std::size_t space =
        std::min<std::size_t>(in_.size() - tail_, room_ >= kWindowRefill ? room_ : std::size_t{kWindow});
    const int n = ssh_channel_read_timeout(ch_, in_.data() + tail_, static_cast<uint32_t>(space), 0,
                                           block ? timeoutMs_ : 0);
    if (n == SSH_ERROR) throw LostError("receiving: " + sshError());
    room_ = std::max(room_, space);
    if (n > 0) {
        room_ -= std::min(room_, static_cast<std::size_t>(n));
        tail_ += static_cast<std::size_t>(n);
        return true;
    }
    if (n == SSH_AGAIN || !block) {
        if (ssh_channel_is_eof(ch_)) throw LostError("the server ended the SFTP channel");
        return false;
    }
    if (ssh_channel_is_eof(ch_) || !ssh_channel_is_open(ch_)) throw LostError("the server ended the SFTP channel");
    throw LostError("no answer from the server within " + std::to_string(timeoutMs_ / 1000) + " s");
}

bool Session::takePacket(Packet& p) {
    const std::size_t have = tail_ - head_;
    if (have < 4) return false;
    const std::uint32_t len = get32(in_.data() + head_);
    if (len < 5 || len > kMaxPacket)
        throw LostError("the server sent a packet of " + std::to_string(len) + " bytes");
    if (have < 4 + static_cast<std::size_t>(len)) return false;
    const char* at = in_.data() + head_ + 4;
    p.type = static_cast<std::uint8_t>(at[0]);
    p.id = get32(at + 1);
    p.body = at + 5;
    p.size = len - 5;
    head_ += 4 + len;
    return true;
}

Session::Packet Session::receive() {
    Packet p;
    while (!takePacket(p)) fill(true);
    return p;
}

bool Session::tryReceive(Packet& p) {
    if (takePacket(p)) return true;
    return fill(false) && takePacket(p);
}

bool Session::dispatchPipelined(const Packet& p) {
    for (auto& r : reads_) {
        if (r.id != p.id || r.answered) continue;
        r.answered = true;
        Fields f = p.fields();
        if (p.type == FXP_DATA) {
            auto [data, n] = f.bytes();
            if (n > r.length)
                throw LostError("the server sent " + std::to_string(n) + " bytes for a read of " +
                                std::to_string(r.length));
            r.isData = true;
            r.count = static_cast<std::uint32_t>(n);
            if (&r == &reads_.front() && mode_ == Mode::Reading && !readEof_ && !readFailed_) {
                ready_.append(data, n);
                r.taken = true;
            } else {
                r.data.assign(data, n);
            }
        } else if (p.type == FXP_STATUS) {
            r.code = f.u32();
            if (r.code == FX_OK) r.code = 4;  // "OK" with no data is no answer to a read
            r.message = f.left() > 0 ? f.string(kMaxPacket) : std::string();
            // Nothing further ahead is asked for once the end (or a refusal)
            // has shown up.
            endSeen_ = true;
        } else {
            throw LostError("the server answered a read with packet type " + std::to_string(p.type));
        }
        return true;
    }
    for (auto it = writes_.begin(); it != writes_.end(); ++it) {
        if (*it != p.id) continue;
        writes_.erase(it);
        reapWrite(p);
        return true;
    }
    if (ahead_ && !ahead_->answered && p.id == ahead_->id) {
        ahead_->answered = true;
        if (p.type == FXP_HANDLE)
            ahead_->handle = p.fields().string(kMaxHandle);
        else
            ahead_->refusal = statusReply(p);
        return true;
    }
    for (auto it = dropped_.begin(); it != dropped_.end(); ++it) {
        if (*it != p.id) continue;
        dropped_.erase(it);
        return true;
    }
    return false;
}

void Session::takePipelined(const Packet& p) {
    if (!dispatchPipelined(p)) throw LostError("the server answered a request never made");
}

Session::Packet Session::await(std::uint32_t id) {
    for (;;) {
        Packet p = receive();
        if (p.id == id) return p;
        takePipelined(p);
    }
}

SftpReply Session::statusReply(const Packet& p) {
    if (p.type != FXP_STATUS) throw LostError("unexpected packet type " + std::to_string(p.type));
    Fields f = p.fields();
    const std::uint32_t code = f.u32();
    std::string message = f.left() > 0 ? f.string(kMaxPacket) : std::string();
    return reply(statusOf(code), message);
}

SftpReply Session::expectStatus(std::uint32_t id) { return statusReply(await(id)); }

SftpReply Session::list(const std::string& folder) {
    const std::string path = folder.empty() ? "." : folder;
    std::uint32_t id = nextId();
    startPacket(out_, FXP_OPENDIR, id);
    putString(out_, path);
    finishPacket(out_);
    send(out_);
    Packet p = await(id);
    if (p.type != FXP_HANDLE) return statusReply(p);
    std::string dir = p.fields().string(kMaxHandle);

    SftpReply result;
    SftpReply failure;
    bool failed = false;
    for (;;) {
        id = nextId();
        startPacket(out_, FXP_READDIR, id);
        putString(out_, dir);
        finishPacket(out_);
        send(out_);
        p = await(id);
        if (p.type == FXP_STATUS) {
            SftpReply s = statusReply(p);
            if (s.status != SftpStatus::Eof) {
                failed = true;
                failure = s;
            }
            break;
        }
        if (p.type != FXP_NAME) throw LostError("unexpected packet type " + std::to_string(p.type));
        Fields f = p.fields();
        const std::uint32_t count = f.u32();
        for (std::uint32_t i = 0; i < count; ++i) {
            auto [name, nameLen] = f.bytes();
            f.bytes();  // the long name, not used
            SftpEntry e = readAttributes(f);
            if (nameLen > kMaxName) {
                failed = true;
                failure = reply(SftpStatus::Failure, "the folder holds a name of " + std::to_string(nameLen) +
                                                         " bytes (at most " + std::to_string(kMaxName) + ")");
                break;
            }
            std::string_view n(name, nameLen);
            if (n == "." || n == "..") continue;
            if (result.entries.size() >= kMaxEntries) {
                failed = true;
                failure = reply(SftpStatus::Failure,
                                "the folder holds more than " + std::to_string(kMaxEntries) + " entries");
                break;
            }
            e.name.assign(name, nameLen);
            result.entries.push_back(std::move(e));
        }
        if (failed) break;
    }
    // The folder's handle is closed in any case.
    closeUnawaited(dir);
    if (failed) return failure;
    return result;
}

SftpReply Session::stat(const std::string& path) {
    const std::uint32_t id = nextId();
    startPacket(out_, FXP_STAT, id);
    putString(out_, path);
    finishPacket(out_);
    send(out_);
    Packet p = await(id);
    if (p.type != FXP_ATTRS) return statusReply(p);
    Fields f = p.fields();
    SftpReply r;
    r.attributes = readAttributes(f);
    return r;
}

SftpReply Session::closeHandle(const std::string& ahead) {
    settleReads();
    settleWrites();
    const bool writing = mode_ == Mode::Writing;
    const std::string handle = std::move(handle_);
    handle_.clear();
    mode_ = Mode::None;
    reads_.clear();
    ready_.clear();
    early_.reset();
    // A file written: its attributes are asked for in the same round trip
    // as its close (the server answers requests in order, so they show
    // every write), for the caller's check of what the server holds.
    std::uint32_t statId = 0;
    if (writing) {
        statId = nextId();
        startPacket(out_, FXP_FSTAT, statId);
        putString(out_, handle);
        finishPacket(out_);
        send(out_);
    }
    // A file read: the close's answer is not waited for.
    if (!writing) {
        closeUnawaited(handle);
        return reply(SftpStatus::Ok);
    }
    const std::uint32_t id = nextId();
    startPacket(out_, FXP_CLOSE, id);
    putString(out_, handle);
    finishPacket(out_);
    send(out_);
    // The next file's open for writing, in the same round trip.
    if (!ahead.empty()) openAheadNow(ahead, true);
    SftpEntry attributes;
    {
        Packet p = await(statId);
        if (p.type == FXP_ATTRS) {
            Fields f = p.fields();
            attributes = readAttributes(f);
        }
    }
    SftpReply closed = expectStatus(id);
    if (writeFailed_) return writeError_;
    closed.attributes = attributes;
    return closed;
}

void Session::dropAhead() {
    if (!ahead_) return;
    // Its answer is awaited (it went out a round trip ago), then the handle
    // closed without waiting.
    while (!ahead_->answered) takePipelined(receive());
    const std::string handle = std::move(ahead_->handle);
    ahead_.reset();
    if (!handle.empty()) closeUnawaited(handle);
}

void Session::closeUnawaited(const std::string& handle) {
    const std::uint32_t id = nextId();
    startPacket(out_, FXP_CLOSE, id);
    putString(out_, handle);
    finishPacket(out_);
    send(out_);
    if (dropped_.size() >= kMaxDropped) throw LostError("the server leaves closes unanswered");
    dropped_.push_back(id);
}

SftpReply Session::openHandle(const std::string& path, std::uint32_t flags, bool takeAhead) {
    if (takeAhead) {
        // Its answer is this one's.
        while (!ahead_->answered) takePipelined(receive());
        Ahead taken = std::move(*ahead_);
        ahead_.reset();
        if (taken.handle.empty()) return taken.refusal;
        handle_ = std::move(taken.handle);
        return reply(SftpStatus::Ok);
    }
    dropAhead();
    const std::uint32_t id = nextId();
    startPacket(out_, FXP_OPEN, id);
    putString(out_, path);
    put32(out_, flags);
    put32(out_, 0);  // no attributes
    finishPacket(out_);
    send(out_);
    Packet p = await(id);
    if (p.type != FXP_HANDLE) return statusReply(p);
    handle_ = p.fields().string(kMaxHandle);
    return reply(SftpStatus::Ok);
}

SftpReply Session::openRead(const std::string& path, std::int64_t offset, std::int64_t sizeHint,
                            const std::string& ahead) {
    if (mode_ != Mode::None) closeHandle();
    // (Opened ahead with the last file's reads.)
    if (SftpReply r = openHandle(path, FXF_READ, ahead_ && ahead_->path == path && !ahead_->write);
        r.status != SftpStatus::Ok)
        return r;
    mode_ = Mode::Reading;
    reads_.clear();
    ready_.clear();
    askAt_ = static_cast<std::uint64_t>(std::max<std::int64_t>(offset, 0));
    sizeHint_ = sizeHint >= 0 ? static_cast<std::uint64_t>(sizeHint) : kNoHint;
    endSeen_ = readEof_ = readFailed_ = pastHint_ = false;
    emptyReads_ = 0;
    // The first requests go out now: the answers come while the loop's
    // thread deals with this one.
    askAhead();
    // And the next file's open, in the same round trip.
    if (!ahead.empty() && ahead != path) openAheadNow(ahead, false);
    return reply(SftpStatus::Ok);
}

void Session::openAheadNow(const std::string& ahead, bool write) {
    dropAhead();
    Ahead a;
    a.path = ahead;
    a.write = write;
    a.id = nextId();
    startPacket(out_, FXP_OPEN, a.id);
    putString(out_, ahead);
    put32(out_, write ? (FXF_WRITE | FXF_CREAT | FXF_TRUNC) : FXF_READ);
    put32(out_, 0);
    finishPacket(out_);
    send(out_);
    ahead_ = std::move(a);
}

void Session::askRead(std::uint64_t offset, std::uint32_t length, bool front) {
    ReadRequest r;
    r.id = nextId();
    r.offset = offset;
    r.length = length;
    startPacket(out_, FXP_READ, r.id);
    putString(out_, handle_);
    put64(out_, offset);
    put32(out_, length);
    finishPacket(out_);
    send(out_);
    if (front) {
        reads_.push_front(std::move(r));
    } else {
        reads_.push_back(std::move(r));
        askAt_ = offset + length;
    }
}

SftpReply Session::read() {
    if (mode_ != Mode::Reading) return reply(SftpStatus::Failure, "no file is open for reading");
    if (early_) return *std::exchange(early_, std::nullopt);
    while (ready_.size() < SftpConnection::maxReadBytes && !readEof_ && !readFailed_) {
        askAhead();
        if (reads_.empty()) {
            readFailed_ = true;
            readError_ = reply(SftpStatus::Failure, "the server ended the file without saying so");
            break;
        }
        ReadRequest& r = reads_.front();
        // What is ready goes out before an answer that would take it past
        // the bound, so that it is handed over whole, never split and copied.
        if (!ready_.empty() && ready_.size() + r.length > SftpConnection::maxReadBytes) break;
        if (!r.answered) {
            takePipelined(receive());
            continue;
        }
        if (r.isData) {
            const std::uint32_t n = r.count;
            if (sizeHint_ != kNoHint && n > 0 && r.offset + n > sizeHint_) pastHint_ = true;
            if (!r.taken) ready_ += r.data;
            emptyReads_ = n == 0 ? emptyReads_ + 1 : 0;
            if (emptyReads_ > kMaxEmptyReads) {
                readFailed_ = true;
                readError_ = reply(SftpStatus::Failure, "the server keeps answering reads with no data");
                reads_.pop_front();
                break;
            }
            if (n < r.length) {
                // A short read: the rest is asked for at once, ahead of
                // everything else, so the bytes stay in order with no hole.
                // A server that caps its reads gets smaller requests from
                // now on.
                const std::uint64_t at = r.offset + n;
                const std::uint32_t rest = r.length - n;
                if (n >= 4096 && n < chunk_) chunk_ = readCap_ = n;
                reads_.pop_front();
                askRead(at, rest, true);
            } else {
                // Answered whole: larger requests from now on.
                if (n == chunk_) chunk_ = std::min(readCap_, chunk_ * 2);
                reads_.pop_front();
            }
            continue;
        }
        // A status at the position expected next: the end of the file, or a
        // refusal. Answers to requests further ahead no longer count.
        if (r.code == FX_EOF) {
            readEof_ = true;
        } else {
            readFailed_ = true;
            readError_ = reply(statusOf(r.code), r.message);
        }
        reads_.pop_front();
    }
    if (readEof_ || readFailed_) settleReads();
    if (!ready_.empty()) {
        SftpReply out;
        if (ready_.size() <= SftpConnection::maxReadBytes) {
            out.bytes = std::move(ready_);
            ready_ = std::string();
            ready_.reserve(SftpConnection::maxReadBytes);
        } else {
            // (Only when an answer came in while the connection did something
            // else.)
            out.bytes.assign(ready_, 0, SftpConnection::maxReadBytes);
            ready_.erase(0, SftpConnection::maxReadBytes);
        }
        return out;
    }
    if (readEof_) return reply(SftpStatus::Eof);
    return readError_;
}

void Session::settleReads() {
    // Answers still due are taken and dropped, so that the next request's
    // answer is the next packet.
    while (std::any_of(reads_.begin(), reads_.end(), [](const ReadRequest& r) { return !r.answered; })) {
        takePipelined(receive());
        for (auto& r : reads_) r.data.clear();
    }
    if (readEof_ || readFailed_ || mode_ != Mode::Reading) reads_.clear();
}

SftpReply Session::openWrite(const std::string& path, std::int64_t offset) {
    if (mode_ != Mode::None) closeHandle();
    // (Opened ahead with the last close, created or truncated: only for a
    // write from the start.)
    const std::uint32_t flags = offset > 0 ? FXF_WRITE : (FXF_WRITE | FXF_CREAT | FXF_TRUNC);
    if (SftpReply r = openHandle(path, flags, offset == 0 && ahead_ && ahead_->write && ahead_->path == path);
        r.status != SftpStatus::Ok)
        return r;
    mode_ = Mode::Writing;
    writes_.clear();
    writeAt_ = static_cast<std::uint64_t>(std::max<std::int64_t>(offset, 0));
    writeFailed_ = false;
    writeError_ = SftpReply{};
    return reply(SftpStatus::Ok);
}

void Session::reapWrite(const Packet& p) {
    SftpReply s = statusReply(p);
    if (s.status != SftpStatus::Ok && !writeFailed_) {
        writeFailed_ = true;
        if (s.status == SftpStatus::Eof) s.status = SftpStatus::Failure;
        writeError_ = s;
    }
}

void Session::settleWrites() {
    while (!writes_.empty()) {
        takePipelined(receive());
    }
}

SftpReply Session::write(const std::string& bytes) {
    if (mode_ != Mode::Writing) return reply(SftpStatus::Failure, "no file is open for writing");
    if (writeFailed_) return writeError_;
    std::size_t at = 0;
    while (at < bytes.size()) {
        // At most kWriteAhead writes unanswered: the oldest answers are
        // awaited before more go out.
        while (writes_.size() >= kWriteAhead) {
            takePipelined(receive());
        }
        const std::size_t n = std::min(kWriteChunk, bytes.size() - at);
        const std::uint32_t id = nextId();
        startPacket(out_, FXP_WRITE, id);
        putString(out_, handle_);
        put64(out_, writeAt_);
        putString(out_, bytes.data() + at, n);
        finishPacket(out_);
        send(out_);
        writes_.push_back(id);
        writeAt_ += n;
        at += n;
        // Answers already here are taken without waiting.
        Packet p;
        while (!writes_.empty() && tryReceive(p)) takePipelined(p);
    }
    if (writeFailed_) return writeError_;
    return reply(SftpStatus::Ok);
}

SftpReply Session::closeFile(const std::string& ahead) {
    if (mode_ == Mode::None) return reply(SftpStatus::Failure, "no file is open");
    return closeHandle(ahead);
}

SftpReply Session::rename(const std::string& from, const std::string& to) {
    const std::uint32_t id = nextId();
    if (posixRename_) {
        startPacket(out_, FXP_EXTENDED, id);
        putString(out_, std::string("posix-rename@openssh.com"));
    } else {
        startPacket(out_, FXP_RENAME, id);
    }
    putString(out_, from);
    putString(out_, to);
    finishPacket(out_);
    send(out_);
    return expectStatus(id);
}

SftpReply Session::remove(const std::string& path) {
    const std::uint32_t id = nextId();
    startPacket(out_, FXP_REMOVE, id);
    putString(out_, path);
    finishPacket(out_);
    send(out_);
    return expectStatus(id);
}

// ---- The worker thread

std::atomic<std::size_t> workersRunning{0};

void runWorker(std::shared_ptr<Link> link, std::shared_ptr<Mailbox> mailbox,
               std::function<void(std::shared_ptr<Mailbox>&, SftpReply)> answer) {
    // Counted from its start (by whoever starts it) until the session below
    // has let go of everything.
    struct Counted {
        ~Counted() { --workersRunning; }
    } counted;
    Session session(*link);
    for (;;) {
        Link::Job job;
        {
            std::unique_lock<std::mutex> lock(link->m);
            link->cv.wait(lock, [&] { return link->stop || static_cast<bool>(link->job); });
            if (link->stop) break;
            job = std::move(link->job);
            link->job = nullptr;
        }
        SftpReply r = job(session);
        if (link->abandoned) break;
        answer(mailbox, std::move(r));
        bool idle = false;
        {
            std::lock_guard<std::mutex> lock(link->m);
            idle = !link->stop && !link->job;
        }
        if (idle && session.mayReadAhead()) session.readAhead();
    }
}

// ---- The loop's side

class QtSftp final : public SftpConnection {
public:
    explicit QtSftp(std::shared_ptr<Context> ctx)
        : ctx_(std::move(ctx)), mailbox_(std::make_shared<Mailbox>()), alive_(std::make_shared<char>(0)) {
        receiver_ = new QObject;
        mailbox_->receiver = receiver_;
    }

    ~QtSftp() override {
        close();
        {
            std::lock_guard<std::mutex> lock(mailbox_->m);
            mailbox_->receiver = nullptr;
        }
        delete receiver_;
    }

    void connect(const SftpLogin& login, Done done) override {
        if (pending_ || link_) return refuse(std::move(done), "a connection is already open or opening");
        ++gen_;
        link_ = std::make_shared<Link>();
        connected_ = false;
        const std::uint64_t gen = gen_;
        std::weak_ptr<char> alive = alive_;
        QtSftp* self = this;
        // Runs on the worker: the answer goes to the receiver, which lives
        // exactly as long as this object; from there onto the FIFO.
        auto answer = [self, gen, alive](std::shared_ptr<Mailbox>& mailbox, SftpReply r) {
            mailbox->post([self, gen, alive, r = std::move(r)]() mutable {
                self->ctx_->post([self, gen, alive, r = std::move(r)]() mutable {
                    if (alive.lock()) self->deliver(gen, std::move(r));
                });
            });
        };
        ++workersRunning;
        std::thread(runWorker, link_, mailbox_, std::move(answer)).detach();
        SftpLogin copy = login;
        start(std::move(done), [copy](Session& s) { return s.connect(copy); }, true);
    }

    void list(const std::string& folder, Done done) override {
        call(std::move(done), [folder](Session& s) { return s.guarded([&] { return s.list(folder); }); });
    }
    void stat(const std::string& path, Done done) override {
        call(std::move(done), [path](Session& s) { return s.guarded([&] { return s.stat(path); }); });
    }
    void expectSize(std::int64_t size) override { sizeHint_ = size; }
    void openAhead(const std::string& path) override { aheadPath_ = path; }
    void openWriteAhead(const std::string& path) override { writeAheadPath_ = path; }
    void openRead(const std::string& path, std::int64_t offset, Done done) override {
        const std::int64_t hint = std::exchange(sizeHint_, -1);
        std::string ahead = std::exchange(aheadPath_, std::string());
        call(std::move(done), [path, offset, hint, ahead = std::move(ahead)](Session& s) {
            return s.guarded([&] { return s.openRead(path, offset, hint, ahead); });
        });
    }
    void read(Done done) override {
        call(std::move(done), [](Session& s) { return s.guarded([&] { return s.read(); }); });
    }
    void openWrite(const std::string& path, std::int64_t offset, Done done) override {
        call(std::move(done),
             [path, offset](Session& s) { return s.guarded([&] { return s.openWrite(path, offset); }); });
    }
    void write(std::string bytes, Done done) override {
        auto shared = std::make_shared<std::string>(std::move(bytes));
        call(std::move(done), [shared](Session& s) {
            SftpReply r = s.guarded([&] { return s.write(*shared); });
            shared->clear();
            shared->shrink_to_fit();
            return r;
        });
    }
    void closeFile(Done done) override {
        std::string ahead = std::exchange(writeAheadPath_, std::string());
        call(std::move(done),
             [ahead = std::move(ahead)](Session& s) { return s.guarded([&] { return s.closeFile(ahead); }); });
    }
    void rename(const std::string& from, const std::string& to, Done done) override {
        call(std::move(done), [from, to](Session& s) { return s.guarded([&] { return s.rename(from, to); }); });
    }
    void remove(const std::string& path, Done done) override {
        call(std::move(done), [path](Session& s) { return s.guarded([&] { return s.remove(path); }); });
    }

    void close() override {
        ++gen_;
        if (link_) link_->end(pending_ != nullptr);
        link_.reset();
        connected_ = false;
        // The caller's done is dropped here, on the loop's thread.
        pending_ = nullptr;
    }

    bool busy() const override { return pending_ != nullptr; }

private:
    // The size the next openRead's file is expected to have (-1: none), and
    // the file to open ahead with it (empty: none).
    std::int64_t sizeHint_ = -1;
    std::string aheadPath_;
    // The file to open for writing with the next close (empty: none).
    std::string writeAheadPath_;
    void refuse(Done done, std::string why) {
        std::weak_ptr<char> alive = alive_;
        const std::uint64_t gen = gen_;
        ctx_->post([this, alive, gen, done = std::move(done), why = std::move(why)]() {
            if (!alive.lock() || gen != gen_) return;
            done(reply(SftpStatus::Busy, why));
        });
    }

    void call(Done done, Link::Job job) {
        if (pending_) return refuse(std::move(done), "another call is still unanswered");
        if (!link_ || !connected_) return refuse(std::move(done), "not connected");
        start(std::move(done), std::move(job), false);
    }

    void start(Done done, Link::Job job, bool connecting) {
        pending_ = std::move(done);
        connecting_ = connecting;
        link_->submit(std::move(job));
    }

    void deliver(std::uint64_t gen, SftpReply r) {
        if (gen != gen_ || !pending_) return;
        Done done = std::move(pending_);
        pending_ = nullptr;
        if (connecting_) {
            connecting_ = false;
            connected_ = r.status == SftpStatus::Ok;
            if (!connected_) dropLink();
        } else if (r.status == SftpStatus::Lost) {
            // Nothing more can go through this connection.
            dropLink();
        }
        done(std::move(r));
    }

    void dropLink() {
        ++gen_;
        if (link_) link_->end(false);
        link_.reset();
        connected_ = false;
    }

    std::shared_ptr<Context> ctx_;
    std::shared_ptr<Mailbox> mailbox_;
    QObject* receiver_ = nullptr;
    std::shared_ptr<char> alive_;
    std::shared_ptr<Link> link_;
    std::uint64_t gen_ = 0;
    bool connected_ = false;
    bool connecting_ = false;
    Done pending_;
};

}  // namespace

std::unique_ptr<SftpConnection> makeQtSftp(std::shared_ptr<Context> ctx) {
    return std::make_unique<QtSftp>(std::move(ctx));
}

std::size_t sftpWorkersRunning() { return workersRunning; }

}  // namespace corvantel::platform::qt

// TCP endpoints on raw non-blocking IPv4 or IPv6 sockets watched by
// QSocketNotifier. Addresses are parsed and printed by qt_address.cpp.
//
// Raw sockets rather than QTcpSocket because the endpoint must tell a clean
// close by the peer (recv() returns 0: state Closing, no error) from a reset
// (ECONNRESET: error 10054), which QTcpSocket reports the same way.
//
// Every event is posted to the loop together with the endpoint's generation
// at posting time; close() bumps the generation, so events queued for a
// connection closed since are dropped when they come up.
//
// startTls puts a TLS layer (qt_tls.cpp) between the socket and the
// endpoint's buffers: the same notifiers then drive the handshake, and
// afterwards every write and read of the socket goes through the layer, so
// the buffers, the chain of sends and the events carry plain bytes.

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/qt/qt_address.h"
#include "platform/qt/qt_internal.h"
#include "platform/qt/qt_tls.h"

namespace corvantel::platform::qt {

namespace {

// Most bytes one read notification takes, so that one busy connection
// cannot starve the rest of the loop.
constexpr std::size_t kReadPerNotification = 256 * 1024;
// Reading stops while this much received data waits to be taken, and
// resumes when getData takes it: memory stays bounded when the logic reads
// slowly. The kernel's buffers then make the peer wait.
constexpr std::size_t kInputLimit = 4 * 1024 * 1024;
// Size of a read when the kernel reports nothing queued.
constexpr std::size_t kProbeBytes = 16 * 1024;
// This much queued at once is taken for a stream rather than a reply.
constexpr std::size_t kStreamHint = 32 * 1024;
// A send made from the connection's own SendComplete handler (a chain of
// pieces, each sent when the last one is complete) is taken into the
// endpoint's buffer and reported sent at once; the buffer goes to the
// kernel in one write when it reaches kWriteBehindFlush, or before the loop
// next blocks or hands over to Qt. One system call then carries many small
// pieces. At most kWriteBehindLimit bytes are taken this way.
constexpr std::size_t kWriteBehindFlush = 64 * 1024;
constexpr std::size_t kWriteBehindLimit = 128 * 1024;
// How long a closed connection keeps writing the bytes it had reported as
// sent when the peer does not take them.
constexpr int kLingerMs = 60 * 1000;
constexpr int kListenBacklog = 8;

// Stands for "the TLS layer failed" where an errno is expected.
constexpr int kTlsBroken = -1;

int errorNumber(int err) {
    switch (err) {
    case ECONNREFUSED: return neterr::ConnectionRefused;
    case ETIMEDOUT: return neterr::TimedOut;
    case ENETUNREACH: return neterr::NetworkUnreachable;
    case EHOSTUNREACH: return neterr::HostUnreachable;
    case ECONNRESET:
    case EPIPE: return neterr::ConnectionReset;
    case ECONNABORTED: return neterr::ConnectionAborted;
    case EADDRINUSE: return neterr::AddressInUse;
    case EADDRNOTAVAIL: return neterr::AddressNotAvailable;
    case EACCES:
    case EPERM: return neterr::AccessDenied;
    case ENOBUFS:
    case ENOMEM:
    case EMFILE:
    case ENFILE: return neterr::NoBuffers;
    case EINVAL: return neterr::InvalidArgument;
    case ENOTCONN: return neterr::NotConnected;
    case EAFNOSUPPORT:
    case EOPNOTSUPP: return neterr::NotSupported;
    case ENETDOWN: return neterr::NetworkDown;
    default: return neterr::NetworkDown;
    }
}

std::string errorText(int number) {
    switch (number) {
    case neterr::ConnectionRefused: return "Connection is forcefully rejected";
    case neterr::TimedOut: return "Connection timed out";
    case neterr::NetworkUnreachable: return "Network is unreachable";
    case neterr::HostUnreachable: return "Host is unreachable";
    case neterr::ConnectionReset: return "Connection reset by peer";
    case neterr::ConnectionAborted: return "Connection aborted";
    case neterr::AddressInUse: return "Address in use";
    case neterr::AddressNotAvailable: return "Address not available";
    case neterr::AccessDenied: return "Permission denied";
    case neterr::NoBuffers: return "No buffer space available";
    case neterr::InvalidArgument: return "Invalid argument";
    case neterr::NotConnected: return "Socket is not connected";
    case neterr::NotSupported: return "Operation not supported";
    case neterr::HostNotFound: return "Host not found";
    default: return "Network error";
    }
}

// Writes p[pos, size) until the kernel takes no more; returns 0 or the errno
// that ended the connection.
int writeSome(int fd, const char* p, std::size_t size, std::size_t& pos) {
    while (pos < size) {
        ssize_t n = ::send(fd, p + pos, size - pos, MSG_NOSIGNAL);
        if (n > 0) {
            pos += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return n < 0 ? errno : EPIPE;
    }
    return 0;
}

// A closed connection's socket writing out the last bytes that had been
// reported as sent, as the kernel would from its own buffers, then closing.
// It gives up on an error or after kLingerMs.
class Linger final : public Lingering {
public:
    Linger(int fd, std::unique_ptr<TlsLayer> tls, std::string bytes)
        : fd_(fd), tls_(std::move(tls)), bytes_(std::move(bytes)), notifier_(fd, QSocketNotifier::Write) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, &notifier_, [this] { writeMore(); });
        deadline_.setSingleShot(true);
        QObject::connect(&deadline_, &QTimer::timeout, &deadline_, [this] { finish(); });
        deadline_.start(kLingerMs);
        notifier_.setEnabled(true);
    }
    ~Linger() override { finish(); }
    bool finished() const override { return fd_ < 0; }

private:
    void writeMore() {
        if (fd_ < 0) return;
        if (tls_) {
            // Anything but "wait until writable" ends it; the peer is told
            // the end when everything went out.
            const TlsLayer::Io io = tls_->write(bytes_.data(), bytes_.size(), pos_);
            if (io == TlsLayer::Io::Done) tls_->shutdown();
            if (io != TlsLayer::Io::WantWrite) finish();
            return;
        }
        const int err = writeSome(fd_, bytes_.data(), bytes_.size(), pos_);
        if (err != 0 || pos_ == bytes_.size()) finish();
    }
    // Called from the notifier's own signal too: nothing is deleted here,
    // the object is dropped later by Context::linger or with the platform.
    void finish() {
        notifier_.setEnabled(false);
        deadline_.stop();
        tls_.reset();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        std::string().swap(bytes_);
    }

    int fd_;
    std::unique_ptr<TlsLayer> tls_;
    std::string bytes_;
    std::size_t pos_ = 0;
    QSocketNotifier notifier_;
    QTimer deadline_;
};

// The first IPv4 address of an interface that is up and not the loopback,
// else 127.0.0.1: what the local address reads before any connection.
std::string machineAddress() {
    std::string found = "127.0.0.1";
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return found;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        found = dotted(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr);
        break;
    }
    freeifaddrs(list);
    return found;
}

class QtEndpoint final : public Endpoint, private WriteBehind {
public:
    explicit QtEndpoint(std::shared_ptr<Context> ctx)
        : ctx_(std::move(ctx)), life_(std::make_shared<Life>()) {
        life_->self = this;
        readNotifier_.setEnabled(false);
        writeNotifier_.setEnabled(false);
        QObject::connect(&readNotifier_, &QSocketNotifier::activated, &readNotifier_,
                         [this] { handleReadable(); });
        QObject::connect(&writeNotifier_, &QSocketNotifier::activated, &writeNotifier_,
                         [this] { handleWritable(); });
    }

    ~QtEndpoint() override {
        close();
        ctx_->discardPending(this);
        ctx_->removeWriteBehind(this);
        life_->self = nullptr;
    }

    // ---- Properties

    void setLocalPort(std::int32_t port) override { localPort_ = port; }
    std::int32_t localPort() const override { return localPort_; }
    std::string localIP() const override {
        if (!localIP_.empty()) return localIP_;
        return machineAddress();
    }
    std::string remoteIP() const override { return remoteIP_; }
    void startTls(const TlsSettings& settings, const Endpoint* resumeFrom) override {
        if (tls_) return;  // already secure or on its way
        if (state_ != Connected || fd_ < 0) {
            fail(neterr::TlsFailed, "TLS needs a connected endpoint");
            return;
        }
        const auto* other = dynamic_cast<const QtEndpoint*>(resumeFrom);
        const TlsLayer* resume = other && other->secure() ? other->tls_.get() : nullptr;
        int number = 0;
        std::string text;
        tls_ = TlsLayer::create(fd_, settings, resume, number, text);
        if (!tls_) {
            fail(number, text);
            return;
        }
        handshaking_ = true;
        continueHandshake();
    }
    bool secure() const override { return tls_ && !handshaking_; }
    State state() const override { return state_; }

    // ---- Operations

    void connect() override {
        const std::int32_t port = localPort_;
        close();
        ctx_->discardPending(this);
        localPort_ = port;

        // A numeric IPv4 or IPv6 address needs no lookup.
        SocketAddress addr;
        if (parseNumericHost(remoteHost_, 0, addr)) {
            startConnect(addr);
            return;
        }
        // A name: resolve it off the loop's thread; the loop keeps running.
        state_ = ResolvingHost;
        if (isReservedInvalidName(remoteHost_)) {
            // Names under "invalid." never exist (RFC 6761): answer without
            // asking any name server, but still later, from the loop.
            postEvent([](const Guard& g) {
                if (auto* e = g.get(); e && e->state_ == ResolvingHost) e->fail(neterr::HostNotFound);
            });
            return;
        }
        const std::uint64_t gen = life_->gen;
        lookupId_ = QHostInfo::lookupHost(
            QString::fromStdString(remoteHost_), &lookupContext_,
            [this, gen](const QHostInfo& info) { hostResolved(gen, info); });
    }

    void listen() override {
        const std::int32_t port = localPort_;
        close();
        ctx_->discardPending(this);
        localPort_ = port;

        if (port < 0 || port > 65535) {
            fail(neterr::InvalidArgument);
            return;
        }
        // No local host: every IPv4 interface. Otherwise an IPv4 or IPv6
        // address, and the socket is of that address's family.
        const auto wanted = static_cast<std::uint16_t>(port);
        SocketAddress sa = anyAddress(AF_INET, wanted);
        if (!localHost_.empty() && !parseNumericHost(localHost_, wanted, sa)) {
            fail(neterr::AddressNotAvailable);
            return;
        }
        int fd = ::socket(sa.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            fail(errorNumber(errno));
            return;
        }
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // An IPv6 listener takes IPv6 connections only.
        if (sa.family() == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        if (::bind(fd, sa.get(), sa.length) != 0 || ::listen(fd, kListenBacklog) != 0) {
            int err = errno;
            ::close(fd);
            fail(errorNumber(err));
            return;
        }
        SocketAddress bound;
        if (localAddressOf(fd, bound)) localPort_ = addressPort(bound);
        attach(fd);
        state_ = Listening;
        readNotifier_.setEnabled(true);
    }

    void accept(std::int64_t requestId) override {
        auto it = ctx_->pending.find(requestId);
        if (it == ctx_->pending.end()) return;
        const PendingConnection taken = it->second;
        ctx_->pending.erase(it);
        // The listener's other requests go too, unless it still listens
        // (then other endpoints may still take them).
        if (taken.owner == this || !ownerStillListening(taken.owner)) ctx_->discardPending(taken.owner);
        if (state_ != Closed || fd_ >= 0) close();
        attach(taken.fd);
        becomeConnected();
    }

    void close() override {
        ++life_->gen;  // drops every event queued for what is closed now
        if (state_ == Closed && fd_ < 0 && lookupId_ < 0) return;
        if (lookupId_ >= 0) {
            QHostInfo::abortHostLookup(lookupId_);
            lookupId_ = -1;
        }
        deliverTaken();
        if (tls_ && !handshaking_ && fd_ >= 0) tls_->shutdown();
        releaseSocket();
        std::string().swap(in_);
        dropOutput();
        state_ = Closed;
        localPort_ = 0;
    }

    bool sendData(const std::string& bytes) override {
        if (state_ != Connected || fd_ < 0) return false;
        if (handshaking_) {
            // Goes out encrypted once the handshake is done.
            out_ += bytes;
            return true;
        }
        if (life_->completingGen == static_cast<std::int64_t>(life_->gen) && taken_ == unsent() &&
            unsent() + bytes.size() <= kWriteBehindLimit) {
            // The next piece of a chain, with nothing queued that is still
            // to be reported: taken now, written together with others.
            sendBehind(bytes);
        } else if (unsent() == 0) {
            // Nothing was waiting to go out: write at once, straight from
            // the caller's bytes (no copy of what the kernel takes at once).
            sendNow(bytes);
        } else {
            // These bytes follow the earlier ones: at once if those were
            // only held back for a chain, else when the kernel takes more.
            out_ += bytes;
            if (!writeNotifier_.isEnabled()) flushOutput();
        }
        return true;
    }

    std::string getData() override {
        std::string out;
        out.swap(in_);
        if (readPaused_) {
            readPaused_ = false;
            if (fd_ >= 0 && state_ == Connected && !handshaking_) {
                readNotifier_.setEnabled(true);
                if (tls_ && tls_->hasPending()) postReceive();
            }
        }
        return out;
    }

    std::int64_t bytesAvailable() const override { return static_cast<std::int64_t>(in_.size()); }

private:
    // Tells queued events whether the endpoint still exists and is still on
    // the connection they were queued for.
    struct Life {
        QtEndpoint* self = nullptr;
        std::uint64_t gen = 0;
        // The generation whose SendComplete handler is running, else -1.
        std::int64_t completingGen = -1;
    };
    struct Guard {
        std::shared_ptr<Life> life;
        std::uint64_t gen;
        QtEndpoint* get() const { return life->self && life->gen == gen ? life->self : nullptr; }
    };

    // Queues f(guard). f must fetch the endpoint through the guard again
    // after each handler it calls: a handler may close or delete it.
    template <class F>
    void postEvent(F f) {
        Guard guard{life_, life_->gen};
        ctx_->post([guard, f = std::move(f)] {
            if (guard.get()) f(guard);
        });
    }

    void postArrival() {
        const std::int64_t n = static_cast<std::int64_t>(in_.size());
        postEvent([n](const Guard& g) {
            if (auto* e = g.get(); e && e->onDataArrival) e->onDataArrival(n);
        });
    }

    // The connection is over with an error: keep the unread input (it can
    // still be taken), release the socket and report the number.
    void fail(int number) { fail(number, errorText(number)); }
    void fail(int number, std::string text) {
        state_ = Error;
        if (lookupId_ >= 0) {
            QHostInfo::abortHostLookup(lookupId_);
            lookupId_ = -1;
        }
        releaseSocket();
        dropOutput();
        postEvent([number, text](const Guard& g) {
            if (auto* e = g.get(); e && e->onError) e->onError(number, text);
        });
    }

    // Points both notifiers at a new socket; both start disabled.
    void attach(int fd) {
        fd_ = fd;
        readNotifier_.setSocket(fd);
        writeNotifier_.setSocket(fd);
        readNotifier_.setEnabled(false);
        writeNotifier_.setEnabled(false);
    }

    void releaseSocket() {
        // Notifiers first: the loop must never watch a closed descriptor.
        readNotifier_.setEnabled(false);
        writeNotifier_.setEnabled(false);
        tls_.reset();
        handshaking_ = false;
        writeWantsRead_ = false;
        readWantsWrite_ = false;
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        readPaused_ = false;
    }

    // Ends the connection after a failed write or read: err is an errno,
    // or kTlsBroken when the TLS layer failed.
    void failWith(int err) {
        if (err != kTlsBroken) {
            fail(errorNumber(err));
        } else if (tls_ && tls_->socketErrno() != 0) {
            fail(errorNumber(tls_->socketErrno()));
        } else {
            const int number = tls_ ? tls_->errorNumber() : neterr::TlsFailed;
            fail(number, tls_ ? tls_->errorText() : errorText(number));
        }
    }

    // Writes p[pos, size) to the socket, through the TLS layer when there
    // is one, until it takes no more; returns 0 or what failWith takes.
    int transportWrite(const char* p, std::size_t size, std::size_t& pos) {
        if (!tls_) return writeSome(fd_, p, size, pos);
        writeWantsRead_ = false;
        switch (tls_->write(p, size, pos)) {
        case TlsLayer::Io::Done:
        case TlsLayer::Io::WantWrite: return 0;
        case TlsLayer::Io::WantRead:
            // The layer must read before it can write on: the next read
            // notification flushes again.
            writeWantsRead_ = true;
            return 0;
        case TlsLayer::Io::Closed: return EPIPE;
        case TlsLayer::Io::Failed: break;
        }
        return kTlsBroken;
    }

    // One step of the handshake; the notifiers wait for what it needs.
    void continueHandshake() {
        switch (tls_->handshake()) {
        case TlsLayer::Io::Done:
            handshaking_ = false;
            writeNotifier_.setEnabled(false);
            readNotifier_.setEnabled(!readPaused_);
            postEvent([](const Guard& g) {
                if (auto* e = g.get(); e && e->onTlsReady) e->onTlsReady();
            });
            // Sends made during the handshake go out now.
            if (unsent() > 0) flushOutput();
            return;
        case TlsLayer::Io::WantRead:
            writeNotifier_.setEnabled(false);
            readNotifier_.setEnabled(true);
            return;
        case TlsLayer::Io::WantWrite:
            writeNotifier_.setEnabled(true);
            return;
        case TlsLayer::Io::Closed:
        case TlsLayer::Io::Failed: break;
        }
        fail(tls_->errorNumber(), tls_->errorText());
    }

    // Reads again later: the TLS layer holds plain bytes the socket's
    // notifier will not announce.
    void postReceive() {
        postEvent([](const Guard& g) {
            if (auto* e = g.get(); e && e->fd_ >= 0 && e->state_ == Connected && !e->readPaused_) e->receive();
        });
    }

    bool ownerStillListening(const void* owner) const {
        // Pending entries are removed when their owner is destroyed, so an
        // owner named by one is alive.
        const auto* listener = static_cast<const QtEndpoint*>(owner);
        return listener->state_ == Listening;
    }

    void hostResolved(std::uint64_t gen, const QHostInfo& info) {
        if (gen != life_->gen || state_ != ResolvingHost) return;
        lookupId_ = -1;
        // The first IPv4 address when there is one, else the first IPv6.
        bool found = false;
        SocketAddress addr;
        if (info.error() == QHostInfo::NoError) {
            for (auto protocol : {QAbstractSocket::IPv4Protocol, QAbstractSocket::IPv6Protocol}) {
                for (const QHostAddress& a : info.addresses()) {
                    if (a.protocol() == protocol && parseNumericHost(a.toString().toStdString(), 0, addr)) {
                        found = true;
                        break;
                    }
                }
                if (found) break;
            }
        }
        if (found)
            startConnect(addr);
        else
            fail(neterr::HostNotFound);
        ctx_->wakeIfWaiting();
    }

    // Connects to addr (its port is set here from remotePort_).
    void startConnect(SocketAddress addr) {
        if (remotePort_ <= 0 || remotePort_ > 65535 || localPort_ < 0 || localPort_ > 65535) {
            fail(neterr::AddressNotAvailable);
            return;
        }
        int fd = ::socket(addr.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            fail(errorNumber(errno));
            return;
        }
        attach(fd);
        if (localPort_ != 0) {
            int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            const SocketAddress local = anyAddress(addr.family(), static_cast<std::uint16_t>(localPort_));
            if (::bind(fd, local.get(), local.length) != 0) {
                fail(errorNumber(errno));
                return;
            }
        }
        setAddressPort(addr, static_cast<std::uint16_t>(remotePort_));
        int r = ::connect(fd, addr.get(), addr.length);
        if (r == 0) {
            becomeConnected();
            return;
        }
        if (errno == EINPROGRESS || errno == EINTR) {
            // The outcome comes when the socket turns writable.
            state_ = Connecting;
            writeNotifier_.setEnabled(true);
            return;
        }
        fail(errorNumber(errno));
    }

    void becomeConnected() {
        state_ = Connected;
        // Kept: the addresses cannot be read once the connection is gone.
        SocketAddress local;
        if (localAddressOf(fd_, local)) {
            localIP_ = addressText(local);
            localPort_ = addressPort(local);
        }
        SocketAddress peer;
        if (peerAddressOf(fd_, peer)) remoteIP_ = addressText(peer);
        writeNotifier_.setEnabled(false);
        readNotifier_.setEnabled(true);
    }

    void handleWritable() {
        if (fd_ < 0) return;
        if (state_ == Connecting) {
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            if (err == EINPROGRESS || err == EALREADY || err == EINTR) return;  // not decided yet
            if (err != 0) {
                fail(errorNumber(err));
            } else {
                becomeConnected();
                postEvent([](const Guard& g) {
                    if (auto* e = g.get(); e && e->onConnect) e->onConnect();
                });
            }
            ctx_->wakeIfWaiting();
            return;
        }
        if (handshaking_) {
            continueHandshake();
            ctx_->wakeIfWaiting();
            return;
        }
        if (readWantsWrite_ && state_ == Connected) {
            readWantsWrite_ = false;
            receive();
            if (fd_ < 0 || state_ == Error) {
                ctx_->wakeIfWaiting();
                return;
            }
        }
        if (state_ == Connected || state_ == Closing) {
            flushOutput();
            ctx_->wakeIfWaiting();
        } else {
            writeNotifier_.setEnabled(false);
        }
    }

    std::size_t unsent() const { return out_.size() - outPos_; }

    // Forgets every byte not yet written.
    void dropOutput() {
        std::string().swap(out_);
        outPos_ = 0;
        taken_ = 0;
        if (listedBehind_) {
            ctx_->removeWriteBehind(this);
            listedBehind_ = false;
        }
    }

    // A send with nothing queued before it: the part the kernel does not
    // take now is kept for the write notifier.
    void sendNow(const std::string& bytes) {
        std::size_t pos = 0;
        if (int err = transportWrite(bytes.data(), bytes.size(), pos)) {
            failWith(err);
            return;
        }
        if (pos < bytes.size()) {
            out_.assign(bytes, pos, std::string::npos);
            outPos_ = 0;
            writeNotifier_.setEnabled(!writeWantsRead_);
        }
        // A send of nothing is complete at once.
        reportSent(static_cast<std::int64_t>(pos), true);
    }

    // A piece of a chain: appended, written with the pieces before it once
    // enough has gathered (or, when the kernel was full, as soon as it takes
    // more), and reported sent (and the send complete) now.
    void sendBehind(const std::string& bytes) {
        out_ += bytes;
        std::int64_t sent = 0;
        if (unsent() >= kWriteBehindFlush && !writeNotifier_.isEnabled() && !writeQueued(sent)) return;
        sent += static_cast<std::int64_t>(unsent() - taken_);
        taken_ = unsent();
        if (taken_ > 0 && !writeNotifier_.isEnabled() && !listedBehind_) {
            ctx_->writeBehind.push_back(this);
            listedBehind_ = true;
        }
        reportSent(sent, true);
    }

    // Context::flushWriteBehind: the bytes taken for a chain go out now.
    void flushWriteBehind() override {
        listedBehind_ = false;
        if (fd_ >= 0 && (state_ == Connected || state_ == Closing) && unsent() > 0 && !writeNotifier_.isEnabled() &&
            !handshaking_)
            flushOutput();
    }

    // Closing: the bytes already reported as sent still reach the peer, as
    // they would from the kernel's buffers. What the kernel does not take at
    // once is left to a Linger, which keeps the socket.
    void deliverTaken() {
        if (fd_ < 0 || taken_ == 0 || (state_ != Connected && state_ != Closing)) return;
        const std::size_t end = outPos_ + taken_;
        std::size_t pos = outPos_;
        if (transportWrite(out_.data(), end, pos) != 0 || pos == end || !ctx_->anchor) return;
        readNotifier_.setEnabled(false);
        writeNotifier_.setEnabled(false);
        ctx_->linger(std::make_unique<Linger>(fd_, std::move(tls_), out_.substr(pos, end - pos)));
        fd_ = -1;
    }

    // Writes queued bytes until the kernel takes no more. sent grows by the
    // bytes written that had not been reported yet. False when the
    // connection failed.
    bool writeQueued(std::int64_t& sent) {
        const std::size_t before = outPos_;
        if (int err = transportWrite(out_.data(), out_.size(), outPos_)) {
            failWith(err);
            return false;
        }
        const std::size_t written = outPos_ - before;
        const std::size_t reportedBefore = std::min(written, taken_);
        taken_ -= reportedBefore;
        sent += static_cast<std::int64_t>(written - reportedBefore);
        if (outPos_ == out_.size()) {
            out_.clear();
            outPos_ = 0;
            writeNotifier_.setEnabled(false);
        } else {
            if (outPos_ >= 1024 * 1024 && outPos_ * 2 >= out_.size()) {
                out_.erase(0, outPos_);
                outPos_ = 0;
            }
            writeNotifier_.setEnabled(!writeWantsRead_);
        }
        return true;
    }

    // Writes queued bytes until the kernel takes no more, then reports.
    void flushOutput() {
        std::int64_t sent = 0;
        if (writeQueued(sent)) reportSent(sent, false);
    }

    // Reports sent bytes; when every byte queued has been sent, reports the
    // send complete too. Without new bytes sent only completeAnyway reports
    // (a send of nothing, or of bytes all taken already).
    void reportSent(std::int64_t sent, bool completeAnyway) {
        const std::int64_t remaining = static_cast<std::int64_t>(unsent() - taken_);
        const bool done = remaining == 0;
        if (sent == 0 && !(done && completeAnyway)) return;
        postEvent([sent, remaining, done](const Guard& g) {
            if (sent > 0) {
                if (auto* e = g.get(); e && e->onSendProgress) e->onSendProgress(sent, remaining);
            }
            if (done) {
                if (auto* e = g.get(); e && e->onSendComplete) {
                    // Sends made by this handler form a chain (see sendData).
                    Life& life = *g.life;
                    const std::int64_t outer = life.completingGen;
                    life.completingGen = static_cast<std::int64_t>(g.gen);
                    struct Restore {
                        Life& life;
                        std::int64_t outer;
                        ~Restore() { life.completingGen = outer; }
                    } restore{life, outer};
                    e->onSendComplete();
                }
            }
        });
    }

    void handleReadable() {
        if (fd_ < 0) return;
        if (state_ == Listening) {
            takeConnections();
        } else if (handshaking_) {
            continueHandshake();
        } else if (state_ == Connected) {
            receive();
            if (writeWantsRead_ && fd_ >= 0 && unsent() > 0) flushOutput();
        } else {
            readNotifier_.setEnabled(false);
        }
        ctx_->wakeIfWaiting();
    }

    void takeConnections() {
        for (int i = 0; i < 64; ++i) {
            int c = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return;
                // Out of descriptors or memory: the connection stays in the
                // backlog; stop watching for a while instead of spinning.
                readNotifier_.setEnabled(false);
                const std::uint64_t gen = life_->gen;
                QTimer::singleShot(100, &lookupContext_, [this, gen] {
                    if (gen == life_->gen && state_ == Listening && fd_ >= 0) readNotifier_.setEnabled(true);
                });
                return;
            }
            const std::int64_t id = ++ctx_->nextRequestId;
            ctx_->pending[id] = PendingConnection{c, this};
            postEvent([id](const Guard& g) {
                if (auto* e = g.get(); e && e->onConnectionRequest) e->onConnectionRequest(id);
            });
        }
    }

    // Reads straight into the tail of the input buffer, sized by what the
    // kernel holds, so that received bytes are copied once (kernel to
    // buffer) and getData hands the buffer over without another copy.
    void receive() {
        std::size_t total = 0;
        bool peerClosed = false;
        int err = 0;
        while (total < kReadPerNotification) {
            if (in_.size() >= kInputLimit) {
                readPaused_ = true;
                readNotifier_.setEnabled(false);
                break;
            }
            const std::size_t old = in_.size();
            const std::size_t allowance = std::min(kReadPerNotification - total, kInputLimit - old);
            // Growing the buffer zero-fills the new part: grow it by what is
            // there to read, not by the whole allowance. With nothing
            // reported (the peer closed, an error, or bytes that came just
            // now) a small read tells which.
            int queued = 0;
            std::size_t room = allowance;
            if (::ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0)
                room = std::min(room, static_cast<std::size_t>(queued));
            else
                room = std::min(room, kProbeBytes);
            // Through TLS at least one whole record's plain bytes.
            if (tls_) room = std::min(allowance, std::max(room, kProbeBytes));
            if (in_.capacity() < old + room) {
                // A stream (much queued, or a second read in this turn)
                // gets room for the whole allowance at once, so that later
                // reads do not move what is there already.
                const bool stream = total > 0 || static_cast<std::size_t>(queued) >= kStreamHint;
                in_.reserve(old + (stream ? allowance : room));
            }
            in_.resize(old + room);
            int recvErr = 0;
            const ssize_t n = tls_ ? tlsRead(in_.data() + old, room, recvErr) : ::recv(fd_, in_.data() + old, room, 0);
            if (!tls_ && n < 0) recvErr = errno;
            in_.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
            if (n > 0) {
                total += static_cast<std::size_t>(n);
                continue;
            }
            if (n == 0) {
                peerClosed = true;
                break;
            }
            if (recvErr == EINTR) continue;
            if (recvErr == EAGAIN || recvErr == EWOULDBLOCK) break;
            err = recvErr;
            break;
        }
        if (total > 0) postArrival();
        if (err != 0) {
            failWith(err);
        } else if (peerClosed) {
            // A clean close: no error. The socket stays open (our side is
            // closed by close()) so that bytes still queued can go out.
            state_ = Closing;
            readNotifier_.setEnabled(false);
            postEvent([](const Guard& g) {
                if (auto* e = g.get(); e && e->onClose) e->onClose();
            });
        } else if (tls_ && !readPaused_ && tls_->hasPending()) {
            postReceive();
        }
    }

    // recv() through the TLS layer: bytes read, 0 when the peer ended the
    // connection, or -1 and err (EAGAIN to wait, or what failWith takes).
    ssize_t tlsRead(char* buf, std::size_t room, int& err) {
        std::size_t got = 0;
        switch (tls_->read(buf, room, got)) {
        case TlsLayer::Io::Done: return static_cast<ssize_t>(got);
        case TlsLayer::Io::Closed: return 0;
        case TlsLayer::Io::WantWrite:
            readWantsWrite_ = true;
            writeNotifier_.setEnabled(true);
            err = EAGAIN;
            return -1;
        case TlsLayer::Io::WantRead: err = EAGAIN; return -1;
        case TlsLayer::Io::Failed: break;
        }
        err = kTlsBroken;
        return -1;
    }

    std::shared_ptr<Context> ctx_;
    std::shared_ptr<Life> life_;
    QSocketNotifier readNotifier_{QSocketNotifier::Read};
    QSocketNotifier writeNotifier_{QSocketNotifier::Write};
    // Context of host lookups and of retry timers: deleting the endpoint
    // deletes it, so their callbacks never reach a deleted endpoint.
    QObject lookupContext_;
    int fd_ = -1;
    State state_ = Closed;
    std::int32_t localPort_ = 0;
    std::string localIP_;
    std::string remoteIP_;
    std::string in_;
    // Bytes to write: out_[outPos_, end). The first taken_ of them have
    // been reported sent already (a chain's pieces, see sendData).
    std::string out_;
    std::size_t outPos_ = 0;
    std::size_t taken_ = 0;
    bool listedBehind_ = false;
    bool readPaused_ = false;
    // The TLS layer, once startTls was called; handshaking_ until done.
    std::unique_ptr<TlsLayer> tls_;
    bool handshaking_ = false;
    // The layer is blocked on the other direction (see transportWrite and
    // tlsRead).
    bool writeWantsRead_ = false;
    bool readWantsWrite_ = false;
    int lookupId_ = -1;
};

}  // namespace

std::unique_ptr<Endpoint> makeQtEndpoint(std::shared_ptr<Context> ctx) {
    return std::make_unique<QtEndpoint>(std::move(ctx));
}

}  // namespace corvantel::platform::qt

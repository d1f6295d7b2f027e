// The connected socket of a Qt endpoint (see qt_endpoint.h): connecting
// (a name resolved off the loop's thread), sending with a chain of
// pieces written behind, receiving with bounded buffers, closing with the
// bytes already reported as sent still delivered.

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
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/qt/qt_endpoint.h"

namespace corvantel::platform::qt {

namespace {

// A closed connection's socket finishing what the kernel would finish on
// its own: writing out the last bytes that had been reported as sent, and
// on a TLS connection then sending close_notify and reading (dropping the
// bytes; session tickets still reach their store) until the peer ends too.
// A TLS peer goes on sending after our last bytes (session tickets, its
// close_notify): closing the socket with those unread would make the
// kernel answer with a reset, and the peer could lose the end of what we
// sent. It gives up on an error or after kLingerMs.
class Linger final : public Lingering {
public:
    Linger(int fd, std::unique_ptr<TlsLayer> tls, std::string bytes)
        : fd_(fd),
          tls_(std::move(tls)),
          bytes_(std::move(bytes)),
          writer_(fd, QSocketNotifier::Write),
          reader_(fd, QSocketNotifier::Read) {
        QObject::connect(&writer_, &QSocketNotifier::activated, &writer_, [this] { writeMore(); });
        QObject::connect(&reader_, &QSocketNotifier::activated, &reader_, [this] { readMore(); });
        deadline_.setSingleShot(true);
        QObject::connect(&deadline_, &QTimer::timeout, &deadline_, [this] { finish(); });
        deadline_.start(kLingerMs);
        reader_.setEnabled(false);
        writer_.setEnabled(false);
        if (bytes_.empty())
            ending();
        else
            writer_.setEnabled(true);
    }
    ~Linger() override { finish(); }
    bool finished() const override { return fd_ < 0; }

private:
    void writeMore() {
        if (fd_ < 0) return;
        if (tls_) {
            const TlsLayer::Io io = tls_->write(bytes_.data(), bytes_.size(), pos_);
            if (io == TlsLayer::Io::Done)
                ending();
            else if (io != TlsLayer::Io::WantWrite)
                finish();
            return;
        }
        const int err = writeSome(fd_, bytes_.data(), bytes_.size(), pos_);
        if (err != 0 || pos_ == bytes_.size()) finish();
    }
    // Everything went out: over TLS, close_notify and the end of our
    // direction, then the peer's end is awaited.
    void ending() {
        writer_.setEnabled(false);
        std::string().swap(bytes_);
        if (!tls_) {
            finish();
            return;
        }
        tls_->shutdown();
        ::shutdown(fd_, SHUT_WR);
        readMore();
    }
    // A peer that keeps sending is not read for long: each turn reads at
    // most about 1 MiB, and after kDrainTurns turns the socket closes.
    void readMore() {
        if (fd_ < 0) return;
        if (tls_->drain() || ++turns_ > kDrainTurns)
            finish();
        else
            reader_.setEnabled(true);
    }
    // Called from the notifiers' own signals too: nothing is deleted here,
    // the object is dropped later by Context::linger or with the platform.
    void finish() {
        writer_.setEnabled(false);
        reader_.setEnabled(false);
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
    static constexpr int kDrainTurns = 64;
    int turns_ = 0;
    QSocketNotifier writer_;
    QSocketNotifier reader_;
    QTimer deadline_;
};

}  // namespace

QtEndpoint::QtEndpoint(std::shared_ptr<Context> ctx) : ctx_(std::move(ctx)), life_(std::make_shared<Life>()) {
    life_->self = this;
    readNotifier_.setEnabled(false);
    writeNotifier_.setEnabled(false);
    QObject::connect(&readNotifier_, &QSocketNotifier::activated, &readNotifier_, [this] { handleReadable(); });
    QObject::connect(&writeNotifier_, &QSocketNotifier::activated, &writeNotifier_, [this] { handleWritable(); });
}

QtEndpoint::~QtEndpoint() {
    close();
    ctx_->discardPending(this);
    ctx_->removeWriteBehind(this);
    life_->self = nullptr;
}

std::string QtEndpoint::localIP() const {
    if (!localIP_.empty()) return localIP_;
    return machineAddress();
}

void QtEndpoint::connect() {
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

void QtEndpoint::close() {
    ++life_->gen;  // drops every event queued for what is closed now
    if (state_ == Closed && fd_ < 0 && lookupId_ < 0) return;
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    deliverTaken();
    if (tls_ && !handshaking_ && fd_ >= 0) {
        if (state_ == Connected && ctx_->anchor) {
            // The TLS connection ends as TLS wants it (see Linger).
            readNotifier_.setEnabled(false);
            writeNotifier_.setEnabled(false);
            ctx_->linger(std::make_unique<Linger>(fd_, std::move(tls_), std::string()));
            fd_ = -1;
        } else {
            tls_->shutdown();
        }
    }
    releaseSocket();
    std::string().swap(in_);
    dropOutput();
    state_ = Closed;
    localPort_ = 0;
}

bool QtEndpoint::sendData(const std::string& bytes) {
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

std::string QtEndpoint::getData() {
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

void QtEndpoint::postArrival() {
    const std::int64_t n = static_cast<std::int64_t>(in_.size());
    postEvent([n](const Guard& g) {
        if (auto* e = g.get(); e && e->onDataArrival) e->onDataArrival(n);
    });
}

void QtEndpoint::fail(int number, std::string text) {
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
void QtEndpoint::attach(int fd) {
    fd_ = fd;
    readNotifier_.setSocket(fd);
    writeNotifier_.setSocket(fd);
    readNotifier_.setEnabled(false);
    writeNotifier_.setEnabled(false);
}

void QtEndpoint::releaseSocket() {
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

void QtEndpoint::hostResolved(std::uint64_t gen, const QHostInfo& info) {
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
void QtEndpoint::startConnect(SocketAddress addr) {
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

void QtEndpoint::becomeConnected() {
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

void QtEndpoint::handleWritable() {
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

// Forgets every byte not yet written.
void QtEndpoint::dropOutput() {
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
void QtEndpoint::sendNow(const std::string& bytes) {
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
void QtEndpoint::sendBehind(const std::string& bytes) {
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
void QtEndpoint::flushWriteBehind() {
    listedBehind_ = false;
    if (fd_ >= 0 && (state_ == Connected || state_ == Closing) && unsent() > 0 && !writeNotifier_.isEnabled() &&
        !handshaking_)
        flushOutput();
}

// Closing: the bytes already reported as sent still reach the peer, as
// they would from the kernel's buffers. What the kernel does not take at
// once is left to a Linger, which keeps the socket.
void QtEndpoint::deliverTaken() {
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
bool QtEndpoint::writeQueued(std::int64_t& sent) {
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
void QtEndpoint::flushOutput() {
    std::int64_t sent = 0;
    if (writeQueued(sent)) reportSent(sent, false);
}

// Reports sent bytes; when every byte queued has been sent, reports the
// send complete too. Without new bytes sent only completeAnyway reports
// (a send of nothing, or of bytes all taken already).
void QtEndpoint::reportSent(std::int64_t sent, bool completeAnyway) {
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

void QtEndpoint::handleReadable() {
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

// Reads straight into the tail of the input buffer, sized by what the
// kernel holds, so that received bytes are copied once (kernel to
// buffer) and getData hands the buffer over without another copy.
void QtEndpoint::receive() {
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
    if (err == kTlsCut) {
        reportCut();
    } else if (err != 0) {
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

std::unique_ptr<Endpoint> makeQtEndpoint(std::shared_ptr<Context> ctx) {
    return std::make_unique<QtEndpoint>(std::move(ctx));
}

}  // namespace corvantel::platform::qt

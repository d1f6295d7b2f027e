// The TLS side of a Qt endpoint (see qt_endpoint.h): startTls puts a TLS
// layer (qt_tls.cpp) between the socket and the endpoint's buffers. The
// same notifiers then drive the handshake, and afterwards every write and
// read of the socket goes through the layer, so the buffers, the chain of
// sends and the events carry plain bytes.

#include <cerrno>

#include "platform/qt/qt_endpoint.h"

namespace corvantel::platform::qt {

void QtEndpoint::startTls(const TlsSettings& settings, const Endpoint* resumeFrom) {
    if (tls_) return;  // already secure or on its way
    if (state_ != Connected || fd_ < 0) {
        fail(neterr::TlsFailed, "TLS needs a connected endpoint");
        return;
    }
    // Plain bytes received and not taken would pass for the first
    // decrypted ones (a server, or anyone on the path, can send them with
    // the answer that starts TLS): they fail the connection.
    if (!in_.empty()) {
        fail(neterr::TlsFailed, "Bytes came before the TLS handshake");
        return;
    }
    const auto* other = dynamic_cast<const QtEndpoint*>(resumeFrom);
    if (resumeFrom && !(other && other->secure())) {
        fail(neterr::TlsFailed, "The control connection is not secure");
        return;
    }
    const TlsLayer* resume = other ? other->tls_.get() : nullptr;
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

// Ends the connection after a failed write or read: err is an errno,
// or kTlsBroken when the TLS layer failed.
void QtEndpoint::failWith(int err) {
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
int QtEndpoint::transportWrite(const char* p, std::size_t size, std::size_t& pos) {
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
    case TlsLayer::Io::Closed:
    case TlsLayer::Io::Cut: return EPIPE;
    case TlsLayer::Io::Failed: break;
    }
    return kTlsBroken;
}

// One step of the handshake; the notifiers wait for what it needs.
void QtEndpoint::continueHandshake() {
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
    case TlsLayer::Io::Cut:
    case TlsLayer::Io::Failed: break;
    }
    fail(tls_->errorNumber(), tls_->errorText());
}

// A TLS stream that ended without close_notify, where that is an error:
// the bytes read before are delivered first, then the error, raised in
// place of a close. Until the error comes up the endpoint reads Closing
// (the peer has gone, its bytes can still be taken), so that whoever waits
// for the connection's end sees the arrivals and the error before it.
void QtEndpoint::reportCut() {
    state_ = Closing;
    readNotifier_.setEnabled(false);
    postEvent([](const Guard& g) {
        auto* e = g.get();
        if (!e) return;
        e->state_ = Error;
        e->releaseSocket();
        e->dropOutput();
        if (e->onError) e->onError(neterr::TlsCut, "The TLS stream ended without close_notify");
    });
}

std::string QtEndpoint::tlsVersion() const { return secure() ? tls_->version() : std::string(); }

// Reads again later: the TLS layer holds plain bytes the socket's
// notifier will not announce.
void QtEndpoint::postReceive() {
    postEvent([](const Guard& g) {
        if (auto* e = g.get(); e && e->fd_ >= 0 && e->state_ == Connected && !e->readPaused_) e->receive();
    });
}

// recv() through the TLS layer: bytes read, 0 when the peer ended the
// connection, or -1 and err (EAGAIN to wait, or what failWith takes).
ssize_t QtEndpoint::tlsRead(char* buf, std::size_t room, int& err) {
    std::size_t got = 0;
    switch (tls_->read(buf, room, got)) {
    case TlsLayer::Io::Done: return static_cast<ssize_t>(got);
    case TlsLayer::Io::Closed: return 0;
    case TlsLayer::Io::Cut:
        // On a control connection an end like a close, as without TLS.
        if (!tls_->cutIsError()) return 0;
        err = kTlsCut;
        return -1;
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

}  // namespace corvantel::platform::qt

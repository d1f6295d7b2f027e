// The TLS client layer of a Qt endpoint (see qt_tls.h): OpenSSL 3 on the
// endpoint's non-blocking socket through a small socket BIO of our own that
// writes with MSG_NOSIGNAL (OpenSSL's socket BIO uses write(), which raises
// SIGPIPE when the peer has gone).

#include "platform/qt/qt_tls.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

namespace corvantel::platform::qt {

namespace {

// ---- A socket BIO that never raises SIGPIPE

int fdOf(BIO* b) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(b))); }

int bioWrite(BIO* b, const char* data, int len) {
    BIO_clear_retry_flags(b);
    const ssize_t n = ::send(fdOf(b), data, static_cast<std::size_t>(len), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(b);
    return static_cast<int>(n);
}

int bioRead(BIO* b, char* data, int len) {
    BIO_clear_retry_flags(b);
    const ssize_t n = ::recv(fdOf(b), data, static_cast<std::size_t>(len), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(b);
    return static_cast<int>(n);
}

long bioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
}

BIO_METHOD* socketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "corvantel socket");
        BIO_meth_set_write(m, bioWrite);
        BIO_meth_set_read(m, bioRead);
        BIO_meth_set_ctrl(m, bioCtrl);
        BIO_meth_set_create(m, bioCreate);
        return m;
    }();
    return method;
}

// ---- Errors

// The oldest error in OpenSSL's queue as text, the queue cleared.
std::string queueText() {
    const unsigned long e = ERR_peek_error();
    std::string text;
    if (e != 0) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        text = buf;
    }
    ERR_clear_error();
    return text;
}

// The peer name as the certificate check wants it: brackets stripped from
// an IPv6 address; whether it is a numeric address.
std::string bareName(const std::string& name, bool& isAddress) {
    std::string bare = name;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
    unsigned char buf[sizeof(in6_addr)];
    isAddress = ::inet_pton(AF_INET, bare.c_str(), buf) == 1 || ::inet_pton(AF_INET6, bare.c_str(), buf) == 1;
    return bare;
}

}  // namespace

// ---- Client contexts, one per trusted-CA file for the whole process

namespace {

std::mutex contextsMutex;
// The contexts are freed when the program ends (each connection holds its
// own reference while it lives).
struct Contexts : std::map<std::string, SSL_CTX*> {
    ~Contexts() {
        for (auto& [file, ctx] : *this) SSL_CTX_free(ctx);
    }
};
Contexts contexts;

SSL_CTX* clientContext(const std::string& caFile, int (*onNewSession)(SSL*, SSL_SESSION*), std::string& error) {
    std::lock_guard lock(contextsMutex);
    if (auto it = contexts.find(caFile); it != contexts.end()) return it->second;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        error = queueText();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // TLS 1.2 at most: FTP servers require every data connection to resume
    // the control connection's session, and TLS 1.3 session tickets are
    // single-use on servers that keep them in a cache (vsftpd refuses the
    // third data connection of a session with "522 session reuse
    // required"). TLS 1.2 sessions resume any number of times.
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(ctx);
    if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        error = "Cannot read the CA file " + caFile + ": " + queueText();
        SSL_CTX_free(ctx);
        return nullptr;  // not kept: the file may be fixed later
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    // Writes report the plain bytes of each record sent, and a retry may
    // offer the same bytes from another buffer (the endpoint's queue).
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A TCP close without close_notify ends the connection like a close
    // (as without TLS), not as an error.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Each layer keeps the newest session its server issued (no cache).
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, onNewSession);
    contexts[caFile] = ctx;
    return ctx;
}

}  // namespace

int TlsLayer::onNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* self = static_cast<TlsLayer*>(SSL_get_app_data(ssl));
    if (!self) return 0;
    if (self->latest_) SSL_SESSION_free(self->latest_);
    self->latest_ = session;
    return 1;  // the reference is ours now
}

std::unique_ptr<TlsLayer> TlsLayer::create(int fd, const TlsSettings& settings, const TlsLayer* resumeFrom,
                                           int& number, std::string& text) {
    number = neterr::TlsFailed;
    bool isAddress = false;
    const std::string name = bareName(settings.peerName, isAddress);
    if (name.empty()) {
        text = "No host name to check the certificate against";
        return nullptr;
    }
    ERR_clear_error();
    SSL_CTX* ctx = clientContext(settings.caFile, &TlsLayer::onNewSession, text);
    if (!ctx) return nullptr;

    std::unique_ptr<TlsLayer> layer(new TlsLayer);
    layer->ssl_ = SSL_new(ctx);
    BIO* bio = layer->ssl_ ? BIO_new(socketMethod()) : nullptr;
    if (!bio) {
        text = queueText();
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    SSL_set_bio(layer->ssl_, bio, bio);
    SSL_set_app_data(layer->ssl_, layer.get());
    SSL_set_connect_state(layer->ssl_);

    X509_VERIFY_PARAM* param = SSL_get0_param(layer->ssl_);
    bool named = false;
    if (isAddress) {
        named = X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1;
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0) == 1 &&
                SSL_set_tlsext_host_name(layer->ssl_, name.c_str()) == 1;
    }
    if (!named) {
        text = "Cannot check the certificate against " + settings.peerName + ": " + queueText();
        return nullptr;
    }
    if (resumeFrom) {
        if (SSL_SESSION* s = resumeFrom->resumableSession()) SSL_set_session(layer->ssl_, s);
    }
    number = 0;
    return layer;
}

TlsLayer::~TlsLayer() {
    if (ssl_) {
        SSL_set_app_data(ssl_, nullptr);
        SSL_free(ssl_);
    }
    if (latest_) SSL_SESSION_free(latest_);
}

SSL_SESSION* TlsLayer::resumableSession() const {
    if (!ready_) return nullptr;
    if (latest_ && SSL_SESSION_is_resumable(latest_)) return latest_;
    SSL_SESSION* current = SSL_get0_session(ssl_);
    return current && SSL_SESSION_is_resumable(current) ? current : nullptr;
}

bool TlsLayer::resumed() const { return ready_ && SSL_session_reused(ssl_) == 1; }

TlsLayer::Io TlsLayer::handshake() {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_do_handshake(ssl_);
    if (r == 1) {
        ready_ = true;
        return Io::Done;
    }
    const Io io = outcome(r);
    if (io != Io::Failed && io != Io::Closed) return io;
    // Every failure of the handshake is a TLS failure, a dead socket too.
    const long verify = SSL_get_verify_result(ssl_);
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        errorNumber_ = neterr::TlsNameMismatch;
        errorText_ = "Certificate names another host";
    } else if (verify != X509_V_OK) {
        errorNumber_ = neterr::TlsNotTrusted;
        errorText_ = "Certificate not trusted";
    } else {
        errorNumber_ = neterr::TlsFailed;
        if (errorText_.empty())
            errorText_ = socketErrno_ != 0 ? std::string("TLS handshake failed: ") + std::strerror(socketErrno_)
                                           : "The connection closed during the TLS handshake";
    }
    socketErrno_ = 0;
    return Io::Failed;
}

TlsLayer::Io TlsLayer::write(const char* p, std::size_t size, std::size_t& pos) {
    while (pos < size) {
        ERR_clear_error();
        errno = 0;
        std::size_t n = 0;
        const int r = SSL_write_ex(ssl_, p + pos, size - pos, &n);
        if (r != 1) return outcome(r);
        pos += n;
    }
    return Io::Done;
}

TlsLayer::Io TlsLayer::read(char* buf, std::size_t room, std::size_t& got) {
    got = 0;
    ERR_clear_error();
    errno = 0;
    const int r = SSL_read_ex(ssl_, buf, room, &got);
    return r == 1 ? Io::Done : outcome(r);
}

bool TlsLayer::hasPending() const { return SSL_pending(ssl_) > 0; }

void TlsLayer::shutdown() {
    if (!ready_) return;
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

// Sorts the result of a failed call (ret <= 0) right after it was made.
TlsLayer::Io TlsLayer::outcome(int ret) {
    const int sysErr = errno;
    switch (SSL_get_error(ssl_, ret)) {
    case SSL_ERROR_WANT_READ: return Io::WantRead;
    case SSL_ERROR_WANT_WRITE: return Io::WantWrite;
    case SSL_ERROR_ZERO_RETURN: return Io::Closed;
    case SSL_ERROR_SYSCALL:
        if (ERR_peek_error() == 0) {
            if (sysErr == 0) return Io::Closed;
            socketErrno_ = sysErr;
            return Io::Failed;
        }
        [[fallthrough]];
    default:
        errorNumber_ = neterr::TlsFailed;
        errorText_ = queueText();
        if (errorText_.empty()) errorText_ = "TLS failure";
        return Io::Failed;
    }
}

}  // namespace corvantel::platform::qt

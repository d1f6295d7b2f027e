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
#include <deque>
#include <map>
#include <mutex>
#include <set>

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

// TLS 1.2 only with forward secrecy and authenticated encryption: ECDHE or
// DHE key exchange, AES-GCM or ChaCha20-Poly1305 (TLS 1.3's suites are all
// of that kind). A server offering nothing else, static RSA with CBC say,
// is refused.
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305";

SSL_CTX* clientContext(const std::string& caFile, int (*onNewSession)(SSL*, SSL_SESSION*), std::string& error) {
    std::lock_guard lock(contextsMutex);
    if (auto it = contexts.find(caFile); it != contexts.end()) return it->second;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        error = queueText();
        return nullptr;
    }
    // TLS 1.2 or 1.3. Data connections resume sessions from a store of
    // their FTP session (TlsLayer::TicketStore), as TLS 1.3's single-use
    // tickets need.
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(ctx, kTls12Suites) != 1) {
        error = queueText();
        SSL_CTX_free(ctx);
        return nullptr;
    }
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
    // No SSL_OP_IGNORE_UNEXPECTED_EOF: a TCP end without close_notify is
    // told apart from a clean end (Io::Cut), since it may be a cut stream.
    // Sessions go to the store of the connection's FTP session (no cache).
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, onNewSession);
    contexts[caFile] = ctx;
    return ctx;
}

// Servers (a name and a control port) that refused to resume a TLS 1.3
// session on a data connection; later connections to them speak TLS 1.2
// (see TlsLayer::handshake).
std::mutex refusedMutex;
std::set<std::string> refusedResumption;

bool resumptionRefused(const std::string& server) {
    std::lock_guard lock(refusedMutex);
    return refusedResumption.count(server) != 0;
}

// The port of the socket's peer (0 when unknown).
int peerPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return 0;
}

}  // namespace

// The sessions the server of one FTP session issued, on its control
// connection and on every data connection, freshest first. A TLS 1.3
// session (a ticket) is taken out when a data connection offers it, since
// servers accept each ticket once; a TLS 1.2 session stays, since it
// resumes any number of times. The store does not run dry: a server issues
// a new ticket with every resumed TLS 1.3 handshake.
class TlsLayer::TicketStore {
public:
    TicketStore() = default;
    TicketStore(const TicketStore&) = delete;
    TicketStore& operator=(const TicketStore&) = delete;
    ~TicketStore() {
        for (SSL_SESSION* s : sessions_) SSL_SESSION_free(s);
    }
    // Takes over the reference.
    void add(SSL_SESSION* s) {
        sessions_.push_front(s);
        // Bounded whatever the server sends.
        while (sessions_.size() > kMaxKept) {
            SSL_SESSION_free(sessions_.back());
            sessions_.pop_back();
        }
    }
    // The freshest resumable session with a reference for the caller, or
    // null.
    SSL_SESSION* take() {
        while (!sessions_.empty()) {
            SSL_SESSION* s = sessions_.front();
            if (!SSL_SESSION_is_resumable(s)) {
                sessions_.pop_front();
                SSL_SESSION_free(s);
                continue;
            }
            if (SSL_SESSION_get_protocol_version(s) >= TLS1_3_VERSION)
                sessions_.pop_front();
            else
                SSL_SESSION_up_ref(s);
            return s;
        }
        return nullptr;
    }

private:
    static constexpr std::size_t kMaxKept = 16;
    std::deque<SSL_SESSION*> sessions_;
};

int TlsLayer::onNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* self = static_cast<TlsLayer*>(SSL_get_app_data(ssl));
    if (!self || !self->store_) return 0;
    self->store_->add(session);
    return 1;  // the reference is the store's now
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
    layer->cutIsError_ = settings.cutIsError;
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

    // The name is matched against the subjectAltName only, never against
    // the subject's common name.
    X509_VERIFY_PARAM* param = SSL_get0_param(layer->ssl_);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    bool named = false;
    if (isAddress) {
        named = X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1;
    } else {
        named = X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0) == 1 &&
                SSL_set_tlsext_host_name(layer->ssl_, name.c_str()) == 1;
    }
    if (!named) {
        text = "Cannot check the certificate against " + settings.peerName + ": " + queueText();
        return nullptr;
    }
    if (!resumeFrom) {
        // A control connection: the store of its FTP session.
        layer->store_ = std::make_shared<TicketStore>();
        layer->serverKey_ = name + " " + std::to_string(peerPort(fd));
    } else {
        // A data connection: the control connection's store and key.
        layer->store_ = resumeFrom->store_;
        layer->serverKey_ = resumeFrom->serverKey_;
        X509* cert = resumeFrom->ready_ ? SSL_get0_peer_certificate(resumeFrom->ssl_) : nullptr;
        EVP_PKEY* key = cert ? X509_get0_pubkey(cert) : nullptr;
        if (!key || EVP_PKEY_up_ref(key) != 1) {
            text = "The control connection has no TLS peer to match";
            return nullptr;
        }
        layer->controlKey_ = key;
        if (SSL_SESSION* s = layer->store_ ? layer->store_->take() : nullptr) {
            layer->offered_ = SSL_set_session(layer->ssl_, s) == 1;
            SSL_SESSION_free(s);
        }
    }
    if (resumptionRefused(layer->serverKey_) && SSL_set_max_proto_version(layer->ssl_, TLS1_2_VERSION) != 1) {
        text = queueText();
        return nullptr;
    }
    number = 0;
    return layer;
}

TlsLayer::~TlsLayer() {
    if (ssl_) {
        SSL_set_app_data(ssl_, nullptr);
        SSL_free(ssl_);
    }
    if (controlKey_) EVP_PKEY_free(controlKey_);
}

bool TlsLayer::resumed() const { return ready_ && SSL_session_reused(ssl_) == 1; }

std::string TlsLayer::version() const { return ready_ ? SSL_get_version(ssl_) : std::string(); }

// A data connection must end at the control connection's server: its
// certificate carries the same public key (a resumed session carries the
// control connection's certificate anyway).
bool TlsLayer::checkDataPeer() {
    if (!controlKey_) return true;
    X509* cert = SSL_get0_peer_certificate(ssl_);
    const EVP_PKEY* key = cert ? X509_get0_pubkey(cert) : nullptr;
    if (key && EVP_PKEY_eq(key, controlKey_) == 1) return true;
    errorNumber_ = neterr::TlsDataPeerChanged;
    errorText_ = "The data connection's certificate is not the control connection's";
    return false;
}

TlsLayer::Io TlsLayer::handshake() {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_do_handshake(ssl_);
    if (r == 1) {
        if (!checkDataPeer()) return Io::Failed;
        ready_ = true;
        // The fallback to TLS 1.2, kept simple: a server that takes a data
        // connection at TLS 1.3 but does not resume the session it was
        // offered refuses resumption of TLS 1.3 sessions (servers requiring
        // resumption then refuse the connection); from now on connections
        // to it speak TLS 1.2, whose sessions such servers resume. This
        // session's file may fail; the next session works.
        if (offered_ && SSL_session_reused(ssl_) != 1 && SSL_version(ssl_) >= TLS1_3_VERSION) {
            std::lock_guard lock(refusedMutex);
            refusedResumption.insert(serverKey_);
        }
        return Io::Done;
    }
    const Io io = outcome(r);
    if (io != Io::Failed && io != Io::Closed && io != Io::Cut) return io;
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
        if (io != Io::Failed)
            errorText_ = "The connection closed during the TLS handshake";
        else if (errorText_.empty())
            errorText_ = socketErrno_ != 0 ? std::string("TLS handshake failed: ") + std::strerror(socketErrno_)
                                           : "TLS handshake failed";
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

bool TlsLayer::drain() {
    if (!ready_) return true;
    char scrap[16384];
    for (int i = 0; i < 64; ++i) {
        ERR_clear_error();
        std::size_t got = 0;
        const int r = SSL_read_ex(ssl_, scrap, sizeof scrap, &got);
        if (r == 1) continue;
        const int e = SSL_get_error(ssl_, r);
        ERR_clear_error();
        return e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE;
    }
    return false;  // more waits: the socket stays readable
}

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
            if (sysErr == 0) return Io::Cut;
            socketErrno_ = sysErr;
            return Io::Failed;
        }
        break;
    case SSL_ERROR_SSL:
        if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            ERR_clear_error();
            return Io::Cut;
        }
        break;
    default: break;
    }
    errorNumber_ = neterr::TlsFailed;
    errorText_ = queueText();
    if (errorText_.empty()) errorText_ = "TLS failure";
    return Io::Failed;
}

}  // namespace corvantel::platform::qt

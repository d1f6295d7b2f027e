// TLS on the Qt platform's endpoints, against a TLS server run by the test
// on a thread (OpenSSL, blocking sockets with time limits) on 127.0.0.1. A
// private CA and certificates signed by it are made with the openssl
// command in a temporary directory: one for IP:127.0.0.1 (EC), another one
// for IP:127.0.0.1 (RSA, another key), and one naming localhost only in its
// subject's CN (no subjectAltName).

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/qt/qt_platform.h"
#include "wait_helpers.h"

using namespace corvantel::platform;
using corvantel::platform::qt::QtPlatform;
using corvantel::testing::waitFor;

namespace {

// ---- Certificates

struct Certificates {
    std::string dir, caFile, certFile, keyFile;
    std::string rsaCertFile() const { return dir + "/rsa.pem"; }
    std::string rsaKeyFile() const { return dir + "/rsa.key"; }
    std::string cnOnlyCertFile() const { return dir + "/cn.pem"; }
    std::string cnOnlyKeyFile() const { return dir + "/cn.key"; }
};

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A CA and a server certificate for IP:127.0.0.1 signed by it, made once.
const Certificates* certificates() {
    static const Certificates* made = [] () -> const Certificates* {
        char tmpl[] = "/tmp/corvantel-tls-XXXXXX";
        if (!::mkdtemp(tmpl)) return nullptr;
        auto* c = new Certificates{tmpl, std::string(tmpl) + "/ca.pem", std::string(tmpl) + "/server.pem",
                                   std::string(tmpl) + "/server.key"};
        const std::string d = c->dir;
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        std::ofstream(d + "/ext.cnf") << "subjectAltName=IP:127.0.0.1\n";
        const bool ok =
            run("openssl req -x509" + ec + " -keyout " + d + "/ca.key -out " + c->caFile +
                " -days 2 -subj /CN=Corvantel-Test-CA -addext basicConstraints=critical,CA:TRUE"
                " -addext keyUsage=critical,keyCertSign,cRLSign") &&
            run("openssl req" + ec + " -keyout " + c->keyFile + " -out " + d + "/server.csr -subj /CN=127.0.0.1") &&
            run("openssl x509 -req -in " + d + "/server.csr -CA " + c->caFile + " -CAkey " + d +
                "/ca.key -CAcreateserial -days 2 -extfile " + d + "/ext.cnf -out " + c->certFile) &&
            run("openssl req -newkey rsa:2048 -nodes -keyout " + c->rsaKeyFile() + " -out " + d +
                "/rsa.csr -subj /CN=127.0.0.1") &&
            run("openssl x509 -req -in " + d + "/rsa.csr -CA " + c->caFile + " -CAkey " + d +
                "/ca.key -CAcreateserial -days 2 -extfile " + d + "/ext.cnf -out " + c->rsaCertFile()) &&
            run("openssl req" + ec + " -keyout " + c->cnOnlyKeyFile() + " -out " + d + "/cn.csr -subj /CN=localhost") &&
            run("openssl x509 -req -in " + d + "/cn.csr -CA " + c->caFile + " -CAkey " + d +
                "/ca.key -CAcreateserial -days 2 -out " + c->cnOnlyCertFile());
        if (!ok) return nullptr;
        std::atexit([] {
            std::error_code ec;
            if (made && !std::getenv("KEEP_TLS_DIR")) std::filesystem::remove_all(made->dir, ec);
        });
        return c;
    }();
    return made;
}

// ---- A TLS server on a thread

void setTimeouts(int fd, int seconds) {
    timeval tv{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Serves each connection on a thread of its own: handshake, then echoes
// what it reads; after closeAfter echoed bytes (0: never) it sends close_notify and
// closes. It counts handshakes and resumed sessions.
class TlsServer {
public:
    // How the server differs from the default (TLS 1.2 and 1.3, OpenSSL's
    // suites, the EC certificate, stateless tickets, close_notify sent).
    struct Options {
        int minVersion = TLS1_2_VERSION;
        int maxVersion = 0;
        const char* tls12Suites = nullptr;
        std::string certFile, keyFile;
        // Sessions kept by the server and each resumed once, as vsftpd
        // does; or never resumed at all.
        bool singleUse = false, noResumption = false;
        // After closeAfter echoed bytes the TCP connection ends without
        // close_notify.
        bool cut = false;
    };

    explicit TlsServer(const Certificates& certs, int maxVersion = 0) : TlsServer(certs, withMax(maxVersion)) {}
    TlsServer(const Certificates& certs, const Options& o) : cut_(o.cut) {
        // OpenSSL's socket BIO writes with write(): a client that drops the
        // connection during the handshake must not end the test by SIGPIPE.
        std::signal(SIGPIPE, SIG_IGN);
        ctx_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_min_proto_version(ctx_, o.minVersion);
        if (o.maxVersion) SSL_CTX_set_max_proto_version(ctx_, o.maxVersion);
        if (o.tls12Suites) SSL_CTX_set_cipher_list(ctx_, o.tls12Suites);
        if (o.singleUse || o.noResumption) SSL_CTX_set_options(ctx_, SSL_OP_NO_TICKET);
        if (o.noResumption) SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);
        const std::string& cert = o.certFile.empty() ? certs.certFile : o.certFile;
        const std::string& key = o.keyFile.empty() ? certs.keyFile : o.keyFile;
        ok_ = SSL_CTX_use_certificate_chain_file(ctx_, cert.c_str()) == 1 &&
              SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM) == 1;
        static const unsigned char sid[] = "corvantel-test";
        SSL_CTX_set_session_id_context(ctx_, sid, sizeof sid - 1);
    }
    static Options withMax(int maxVersion) {
        Options o;
        o.maxVersion = maxVersion;
        return o;
    }
    ~TlsServer() {
        stop_ = true;
        if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        {
            std::lock_guard lock(mutex_);
            for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& t : workers_) t.join();
        if (listener_ >= 0) ::close(listener_);
        SSL_CTX_free(ctx_);
    }

    // Listens on 127.0.0.1 and serves up to `connections` clients; returns
    // the port (0 on failure).
    int listen(int connections, std::size_t closeAfter = 0) {
        if (!ok_) return 0;
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return 0;
        thread_ = std::thread([this, connections, closeAfter] {
            for (int i = 0; i < connections && !stop_; ++i) {
                pollfd pfd{listener_, POLLIN, 0};
                if (::poll(&pfd, 1, 10000) != 1 || stop_) return;
                const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) return;
                std::lock_guard lock(mutex_);
                open_.insert(c);
                workers_.emplace_back([this, c, closeAfter] { serve(c, closeAfter); });
            }
        });
        return ntohs(a.sin_port);
    }

    // Connects to 127.0.0.1:port and serves that connection as the TLS
    // server.
    void connectTo(int port) {
        thread_ = std::thread([this, port] {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            if (::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(c);
                return;
            }
            {
                std::lock_guard lock(mutex_);
                open_.insert(c);
            }
            serve(c, 0);
        });
    }

    std::atomic<int> handshakes{0};
    std::atomic<int> resumed{0};
    std::atomic<bool> peerSentCloseNotify{false};

private:
    void serve(int fd, std::size_t closeAfter) {
        setTimeouts(fd, 10);
        SSL* ssl = SSL_new(ctx_);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            ++handshakes;
            if (SSL_session_reused(ssl)) ++resumed;
            char buf[16384];
            std::size_t echoed = 0;
            while (!stop_) {
                const int n = SSL_read(ssl, buf, sizeof buf);
                if (n <= 0) {
                    if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) {
                        // Answered in kind: a session ended without it
                        // is dropped from the server's cache.
                        peerSentCloseNotify = true;
                        SSL_shutdown(ssl);
                    }
                    break;
                }
                if (SSL_write(ssl, buf, n) != n) break;
                echoed += static_cast<std::size_t>(n);
                if (closeAfter && echoed >= closeAfter) {
                    if (!cut_) SSL_shutdown(ssl);
                    break;
                }
            }
        }
        SSL_free(ssl);
        ERR_clear_error();
        std::lock_guard lock(mutex_);
        open_.erase(fd);
        ::close(fd);
    }

    SSL_CTX* ctx_ = nullptr;
    bool cut_ = false;
    bool ok_ = false;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::set<int> open_;  // connections being served
    std::vector<std::thread> workers_;
};

// ---- The program's side

struct Watch {
    int ready = 0, closes = 0, completes = 0;
    std::vector<std::pair<int, std::string>> errors;
    std::string received;
    std::int64_t progressSum = 0;

    void on(Endpoint& e) {
        e.onTlsReady = [this] { ++ready; };
        e.onClose = [this] { ++closes; };
        e.onError = [this](int n, const std::string& t) { errors.emplace_back(n, t); };
        e.onDataArrival = [this, &e](std::int64_t) { received += e.getData(); };
        e.onSendProgress = [this](std::int64_t sent, std::int64_t) { progressSum += sent; };
        e.onSendComplete = [this] { ++completes; };
    }
};

// Connects e to 127.0.0.1:port and starts TLS with settings.
bool connectAndStartTls(QtPlatform& p, Endpoint& e, int port, const TlsSettings& settings,
                        const Endpoint* resumeFrom = nullptr) {
    bool connected = false;
    e.onConnect = [&] { connected = true; };
    e.setRemoteHost("127.0.0.1");
    e.setRemotePort(port);
    e.connect();
    if (!waitFor(p, [&] { return connected || e.state() == Endpoint::Error; }) || !connected) return false;
    e.startTls(settings, resumeFrom);
    return true;
}

class QtTls : public ::testing::Test {
protected:
    void SetUp() override {
        certs_ = certificates();
        ASSERT_NE(certs_, nullptr) << "the openssl command could not make the test certificates";
    }
    TlsSettings trusted() const { return {"127.0.0.1", certs_->caFile}; }
    const Certificates* certs_ = nullptr;
};

TEST_F(QtTls, HandshakeWithATrustedCertificateThenHundredsOfKilobytesBothWaysAndThePeersClose) {
    QtPlatform p;
    TlsServer server(*certs_);
    constexpr std::size_t kPiece = 16 * 1024, kPieces = 25;
    const int port = server.listen(1, kPiece * kPieces);
    ASSERT_GT(port, 0);
    auto e = p.makeEndpoint();
    Watch w;
    w.on(*e);
    ASSERT_TRUE(connectAndStartTls(p, *e, port, trusted()));
    ASSERT_TRUE(waitFor(p, [&] { return w.ready == 1 || !w.errors.empty(); }));
    ASSERT_EQ(w.ready, 1) << (w.errors.empty() ? "" : w.errors.front().second);
    EXPECT_TRUE(e->secure());

    // A chain of pieces, each sent from the previous one's SendComplete.
    std::string sent;
    std::size_t pieces = 0;
    auto next = [&] {
        if (pieces == kPieces) return;
        std::string piece(kPiece, static_cast<char>('a' + pieces % 26));
        piece[0] = static_cast<char>(pieces);
        ++pieces;
        sent += piece;
        e->sendData(piece);
    };
    e->onSendComplete = [&] {
        ++w.completes;
        next();
    };
    next();
    ASSERT_TRUE(waitFor(p, [&] { return w.closes == 1 || !w.errors.empty(); }, 10000));
    EXPECT_TRUE(w.errors.empty()) << w.errors.front().second;
    EXPECT_EQ(w.received.size(), sent.size());
    EXPECT_TRUE(w.received == sent) << "the echo differs from what was sent";
    EXPECT_EQ(w.progressSum, static_cast<std::int64_t>(sent.size())) << "progress counts plain bytes";
    EXPECT_EQ(w.completes, static_cast<int>(kPieces));
    EXPECT_EQ(e->state(), Endpoint::Closing);
}

TEST_F(QtTls, ClosingSendsCloseNotify) {
    QtPlatform p;
    TlsServer server(*certs_);
    const int port = server.listen(1);
    ASSERT_GT(port, 0);
    auto e = p.makeEndpoint();
    Watch w;
    w.on(*e);
    ASSERT_TRUE(connectAndStartTls(p, *e, port, trusted()));
    ASSERT_TRUE(waitFor(p, [&] { return w.ready == 1; }));
    e->sendData("last words");
    ASSERT_TRUE(waitFor(p, [&] { return w.received == "last words"; }));
    e->close();
    EXPECT_TRUE(waitFor(p, [&] { return server.peerSentCloseNotify.load(); }));
}

TEST_F(QtTls, ACertificateFromAnUnknownCaIsNotTrusted) {
    QtPlatform p;
    TlsServer server(*certs_);
    const int port = server.listen(1);
    ASSERT_GT(port, 0);
    auto e = p.makeEndpoint();
    Watch w;
    w.on(*e);
    ASSERT_TRUE(connectAndStartTls(p, *e, port, TlsSettings{"127.0.0.1", ""}));
    ASSERT_TRUE(waitFor(p, [&] { return !w.errors.empty(); }));
    EXPECT_EQ(w.errors.front().first, neterr::TlsNotTrusted);
    EXPECT_EQ(w.errors.front().second, "Certificate not trusted");
    EXPECT_EQ(w.ready, 0);
    EXPECT_FALSE(e->secure());
    EXPECT_EQ(e->state(), Endpoint::Error);
}

// A certificate for another name or address, and one naming the host only
// in its subject's CN (no subjectAltName), are refused.
TEST_F(QtTls, ACertificateForAnotherNameIsRefused) {
    struct Case {
        const char* name;
        std::string certFile, keyFile;
    } cases[] = {
        {"ftp.example.org", {}, {}},
        {"127.0.0.2", {}, {}},
        {"localhost", certs_->cnOnlyCertFile(), certs_->cnOnlyKeyFile()},
    };
    for (const Case& c : cases) {
        QtPlatform p;
        TlsServer::Options o;
        o.certFile = c.certFile;
        o.keyFile = c.keyFile;
        TlsServer server(*certs_, o);
        const int port = server.listen(1);
        ASSERT_GT(port, 0);
        auto e = p.makeEndpoint();
        Watch w;
        w.on(*e);
        ASSERT_TRUE(connectAndStartTls(p, *e, port, TlsSettings{c.name, certs_->caFile}));
        ASSERT_TRUE(waitFor(p, [&] { return !w.errors.empty() || w.ready == 1; })) << c.name;
        ASSERT_FALSE(w.errors.empty()) << c.name << " was accepted";
        EXPECT_EQ(w.errors.front().first, neterr::TlsNameMismatch) << c.name << ": " << w.errors.front().second;
        EXPECT_EQ(w.ready, 0);
    }
}

// TLS 1.3 is reached, also on a server that speaks nothing else; TLS 1.2
// only with forward-secret AEAD suites: a server offering only static-RSA
// AES128-SHA is refused.
TEST_F(QtTls, VersionsAndSuites) {
    struct Case {
        const char* what;
        TlsServer::Options options;
        const char* version;  // null: refused
    } cases[] = {
        {"TLS 1.3 only", {TLS1_3_VERSION, 0, nullptr, {}, {}}, "TLSv1.3"},
        {"TLS 1.2 with ECDHE and AES-GCM", {TLS1_2_VERSION, TLS1_2_VERSION, "ECDHE-ECDSA-AES128-GCM-SHA256", {}, {}},
         "TLSv1.2"},
        {"TLS 1.2 with static RSA and AES-CBC only",
         {TLS1_2_VERSION, TLS1_2_VERSION, "AES128-SHA", certs_->rsaCertFile(), certs_->rsaKeyFile()}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QtPlatform p;
        TlsServer server(*certs_, c.options);
        const int port = server.listen(1);
        ASSERT_GT(port, 0);
        auto e = p.makeEndpoint();
        Watch w;
        w.on(*e);
        ASSERT_TRUE(connectAndStartTls(p, *e, port, trusted()));
        ASSERT_TRUE(waitFor(p, [&] { return w.ready == 1 || !w.errors.empty(); }));
        if (c.version) {
            ASSERT_EQ(w.ready, 1) << w.errors.front().second;
            EXPECT_EQ(e->tlsVersion(), c.version);
        } else {
            EXPECT_EQ(w.ready, 0);
            ASSERT_FALSE(w.errors.empty());
            EXPECT_EQ(w.errors.front().first, neterr::TlsFailed) << w.errors.front().second;
        }
    }
}

// A protected stream that ends without close_notify: where that is an
// error, every byte before it is delivered, then the error, and no close;
// elsewhere (a control connection) it ends like a close.
TEST_F(QtTls, AnEndWithoutCloseNotify) {
    for (bool cutIsError : {true, false}) {
        SCOPED_TRACE(cutIsError ? "an error" : "a close");
        QtPlatform p;
        TlsServer::Options o;
        o.cut = true;
        TlsServer server(*certs_, o);
        const int port = server.listen(1, 7);
        ASSERT_GT(port, 0);
        auto e = p.makeEndpoint();
        Watch w;
        w.on(*e);
        std::string receivedAtError;
        e->onError = [&](int n, const std::string& text) {
            receivedAtError = w.received;
            w.errors.emplace_back(n, text);
        };
        TlsSettings settings = trusted();
        settings.cutIsError = cutIsError;
        ASSERT_TRUE(connectAndStartTls(p, *e, port, settings));
        ASSERT_TRUE(waitFor(p, [&] { return w.ready == 1; }));
        e->sendData("5 of 18");
        ASSERT_TRUE(waitFor(p, [&] { return w.closes > 0 || !w.errors.empty(); }));
        EXPECT_EQ(w.received, "5 of 18");
        if (cutIsError) {
            ASSERT_EQ(w.errors.size(), 1u);
            EXPECT_EQ(w.errors.front().first, neterr::TlsCut) << w.errors.front().second;
            EXPECT_EQ(receivedAtError, "5 of 18") << "the bytes come before the error";
            EXPECT_EQ(w.closes, 0);
            EXPECT_EQ(e->state(), Endpoint::Error);
        } else {
            EXPECT_TRUE(w.errors.empty());
            EXPECT_EQ(w.closes, 1);
        }
    }
}

// Bytes that came in the clear and were not taken when TLS starts (sent
// behind "234" in the same piece) fail the handshake at once.
TEST_F(QtTls, BytesNotTakenBeforeTheHandshakeFailIt) {
    QtPlatform p;
    auto listener = p.makeEndpoint();
    auto server = p.makeEndpoint();
    listener->onConnectionRequest = [&](std::int64_t id) {
        server->accept(id);
        server->sendData("234 ok\r\n220 forged\r\n");
    };
    listener->setLocalHost("127.0.0.1");
    listener->setLocalPort(0);
    listener->listen();
    ASSERT_EQ(listener->state(), Endpoint::Listening);
    auto e = p.makeEndpoint();
    Watch w;
    e->onError = [&](int n, const std::string& t) { w.errors.emplace_back(n, t); };
    e->onTlsReady = [&] { ++w.ready; };
    bool connected = false;
    e->onConnect = [&] { connected = true; };
    e->setRemoteHost("127.0.0.1");
    e->setRemotePort(listener->localPort());
    e->connect();
    ASSERT_TRUE(waitFor(p, [&] { return connected && e->bytesAvailable() == 20; }));
    e->startTls(trusted(), nullptr);
    ASSERT_TRUE(waitFor(p, [&] { return !w.errors.empty() || w.ready > 0; }));
    ASSERT_FALSE(w.errors.empty());
    EXPECT_EQ(w.errors.front().first, neterr::TlsFailed);
    EXPECT_EQ(w.errors.front().second, "Bytes came before the TLS handshake");
    EXPECT_EQ(w.ready, 0);
}

class QtTlsResume : public QtTls, public ::testing::WithParamInterface<int> {};

// A control connection and four data connections, one after the other,
// each resuming the control connection's session, on a server that
// accepts each session (each TLS 1.3 ticket) once, as vsftpd does: every
// data connection offers a ticket not used before.
TEST_P(QtTlsResume, EveryDataConnectionResumesTheControlConnectionsSession) {
    QtPlatform p;
    TlsServer::Options o;
    o.maxVersion = GetParam();
    o.singleUse = true;
    TlsServer server(*certs_, o);
    constexpr int kData = 4;
    const int port = server.listen(1 + kData);
    ASSERT_GT(port, 0);
    auto control = p.makeEndpoint();
    Watch wc;
    wc.on(*control);
    ASSERT_TRUE(connectAndStartTls(p, *control, port, trusted()));
    ASSERT_TRUE(waitFor(p, [&] { return wc.ready == 1; }));
    EXPECT_EQ(control->tlsVersion(), GetParam() == TLS1_2_VERSION ? "TLSv1.2" : "TLSv1.3");
    // As on a control connection, a reply is read before the data
    // connection opens.
    control->sendData("PROT P\r\n");
    ASSERT_TRUE(waitFor(p, [&] { return wc.received == "PROT P\r\n"; }));

    for (int i = 1; i <= kData; ++i) {
        SCOPED_TRACE(i);
        auto data = p.makeEndpoint();
        Watch wd;
        wd.on(*data);
        ASSERT_TRUE(connectAndStartTls(p, *data, port, trusted(), control.get()));
        ASSERT_TRUE(waitFor(p, [&] { return wd.ready == 1 || !wd.errors.empty(); }));
        ASSERT_EQ(wd.ready, 1) << wd.errors.front().second;
        ASSERT_TRUE(waitFor(p, [&] { return server.handshakes == 1 + i; }));
        EXPECT_EQ(server.resumed, i) << "each data connection resumed a session";
        data->close();
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, QtTlsResume, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const auto& info) { return info.param == TLS1_2_VERSION ? "Tls12" : "Tls13"; });

// A data connection that presents another valid certificate for the host
// (another key, no resumption) is refused with its own error.
TEST_F(QtTls, ADataConnectionWithAnotherCertificateIsRefused) {
    QtPlatform p;
    TlsServer controlServer(*certs_);
    TlsServer::Options o;
    o.certFile = certs_->rsaCertFile();
    o.keyFile = certs_->rsaKeyFile();
    TlsServer dataServer(*certs_, o);
    const int controlPort = controlServer.listen(1);
    const int dataPort = dataServer.listen(1);
    ASSERT_GT(controlPort, 0);
    ASSERT_GT(dataPort, 0);
    auto control = p.makeEndpoint();
    Watch wc;
    wc.on(*control);
    ASSERT_TRUE(connectAndStartTls(p, *control, controlPort, trusted()));
    ASSERT_TRUE(waitFor(p, [&] { return wc.ready == 1; }));
    auto data = p.makeEndpoint();
    Watch wd;
    wd.on(*data);
    ASSERT_TRUE(connectAndStartTls(p, *data, dataPort, trusted(), control.get()));
    ASSERT_TRUE(waitFor(p, [&] { return wd.ready == 1 || !wd.errors.empty(); }));
    EXPECT_EQ(wd.ready, 0);
    ASSERT_FALSE(wd.errors.empty());
    EXPECT_EQ(wd.errors.front().first, neterr::TlsDataPeerChanged) << wd.errors.front().second;
}

// A server that does not resume the TLS 1.3 session a data connection
// offers is spoken to at TLS 1.2 from then on.
TEST_F(QtTls, AServerRefusingResumptionIsMetAtTls12Afterwards) {
    QtPlatform p;
    TlsServer::Options o;
    o.noResumption = true;
    TlsServer server(*certs_, o);
    const int port = server.listen(3);
    ASSERT_GT(port, 0);
    auto control = p.makeEndpoint();
    Watch wc;
    wc.on(*control);
    ASSERT_TRUE(connectAndStartTls(p, *control, port, trusted()));
    ASSERT_TRUE(waitFor(p, [&] { return wc.ready == 1; }));
    EXPECT_EQ(control->tlsVersion(), "TLSv1.3");
    // A single-use server issues tickets too; here they are never taken.
    control->sendData("PROT P\r\n");
    ASSERT_TRUE(waitFor(p, [&] { return wc.received == "PROT P\r\n"; }));
    auto data = p.makeEndpoint();
    Watch wd;
    wd.on(*data);
    ASSERT_TRUE(connectAndStartTls(p, *data, port, trusted(), control.get()));
    ASSERT_TRUE(waitFor(p, [&] { return wd.ready == 1 || !wd.errors.empty(); }));
    EXPECT_EQ(server.resumed, 0);
    control->close();
    data->close();

    auto again = p.makeEndpoint();
    Watch wa;
    wa.on(*again);
    ASSERT_TRUE(connectAndStartTls(p, *again, port, trusted()));
    ASSERT_TRUE(waitFor(p, [&] { return wa.ready == 1 || !wa.errors.empty(); }));
    ASSERT_EQ(wa.ready, 1) << wa.errors.front().second;
    EXPECT_EQ(again->tlsVersion(), "TLSv1.2");
}

TEST_F(QtTls, AnAcceptedConnectionStartsTlsAsTheClient) {
    QtPlatform p;
    auto listener = p.makeEndpoint();
    auto e = p.makeEndpoint();
    Watch w;
    w.on(*e);
    Endpoint* accepted = e.get();
    listener->onConnectionRequest = [&](std::int64_t id) {
        accepted->accept(id);
        accepted->startTls(trusted(), nullptr);
    };
    listener->setLocalHost("127.0.0.1");
    listener->setLocalPort(0);
    listener->listen();
    ASSERT_EQ(listener->state(), Endpoint::Listening);
    TlsServer server(*certs_);
    server.connectTo(listener->localPort());
    ASSERT_TRUE(waitFor(p, [&] { return w.ready == 1 || !w.errors.empty(); }));
    ASSERT_EQ(w.ready, 1) << w.errors.front().second;
    EXPECT_TRUE(e->secure());
    e->sendData("226 over TLS\r\n");
    EXPECT_TRUE(waitFor(p, [&] { return w.received == "226 over TLS\r\n"; }));
    e->close();
    listener->close();
}

}  // namespace

// TLS on the Qt platform's endpoints, against a TLS server run by the test
// on a thread (OpenSSL, blocking sockets with time limits) on 127.0.0.1. A
// private CA and a certificate for IP:127.0.0.1 are made with the openssl
// command in a temporary directory.

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
                "/ca.key -CAcreateserial -days 2 -extfile " + d + "/ext.cnf -out " + c->certFile);
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
    explicit TlsServer(const Certificates& certs, int maxVersion = 0) {
        ctx_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
        if (maxVersion) SSL_CTX_set_max_proto_version(ctx_, maxVersion);
        ok_ = SSL_CTX_use_certificate_chain_file(ctx_, certs.certFile.c_str()) == 1 &&
              SSL_CTX_use_PrivateKey_file(ctx_, certs.keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
        static const unsigned char sid[] = "corvantel-test";
        SSL_CTX_set_session_id_context(ctx_, sid, sizeof sid - 1);
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
                    if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) peerSentCloseNotify = true;
                    break;
                }
                if (SSL_write(ssl, buf, n) != n) break;
                echoed += static_cast<std::size_t>(n);
                if (closeAfter && echoed >= closeAfter) {
                    SSL_shutdown(ssl);
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

TEST_F(QtTls, ACertificateForAnotherNameIsRefused) {
    QtPlatform p;
    TlsServer server(*certs_);
    const int port = server.listen(2);
    ASSERT_GT(port, 0);
    for (const char* name : {"ftp.example.org", "127.0.0.2"}) {
        auto e = p.makeEndpoint();
        Watch w;
        w.on(*e);
        ASSERT_TRUE(connectAndStartTls(p, *e, port, TlsSettings{name, certs_->caFile}));
        ASSERT_TRUE(waitFor(p, [&] { return !w.errors.empty(); })) << name;
        EXPECT_EQ(w.errors.front().first, neterr::TlsNameMismatch) << name << ": " << w.errors.front().second;
        EXPECT_EQ(w.ready, 0);
    }
}

class QtTlsResume : public QtTls, public ::testing::WithParamInterface<int> {};

TEST_P(QtTlsResume, ASecondConnectionResumesTheFirstOnesSession) {
    QtPlatform p;
    TlsServer server(*certs_, GetParam());
    const int port = server.listen(2);
    ASSERT_GT(port, 0);
    auto control = p.makeEndpoint();
    Watch wc;
    wc.on(*control);
    ASSERT_TRUE(connectAndStartTls(p, *control, port, trusted()));
    ASSERT_TRUE(waitFor(p, [&] { return wc.ready == 1; }));
    // As on a control connection, a reply is read before the data
    // connection opens.
    control->sendData("PROT P\r\n");
    ASSERT_TRUE(waitFor(p, [&] { return wc.received == "PROT P\r\n"; }));

    auto data = p.makeEndpoint();
    Watch wd;
    wd.on(*data);
    ASSERT_TRUE(connectAndStartTls(p, *data, port, trusted(), control.get()));
    ASSERT_TRUE(waitFor(p, [&] { return wd.ready == 1 || !wd.errors.empty(); }));
    EXPECT_EQ(wd.ready, 1);
    ASSERT_TRUE(waitFor(p, [&] { return server.handshakes == 2; }));
    EXPECT_EQ(server.resumed, 1) << "the second handshake resumed the first one's session";
}

// The client speaks TLS 1.2 at most (FTP servers resume a session many
// times, which cached TLS 1.3 tickets do not allow); a server that offers
// TLS 1.3 too is met at 1.2.
INSTANTIATE_TEST_SUITE_P(Versions, QtTlsResume, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const auto& info) { return info.param == TLS1_2_VERSION ? "Tls12" : "ServerUpToTls13"; });

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

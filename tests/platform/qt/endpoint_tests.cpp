// The Qt platform's TCP endpoints over real loopback sockets (127.0.0.1
// and ::1 only). Some far ends are plain POSIX sockets driven by the test, to close
// cleanly or reset on purpose.

#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/qt/qt_platform.h"

using namespace corvantel::platform;
using corvantel::platform::qt::QtPlatform;
using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

namespace {

// Waits on the platform's loop until pred holds or ms have passed; returns
// pred().
bool waitFor(QtPlatform& p, const std::function<bool()>& pred, int ms = 5000) {
    const auto deadline = SteadyClock::now() + Ms(ms);
    bool late = false;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] { late = SteadyClock::now() >= deadline; });
    tick.start(10);
    p.loop().waitUntil([&] { return pred() || late; });
    return pred();
}

void runFor(QtPlatform& p, int ms) {
    const auto until = SteadyClock::now() + Ms(ms);
    waitFor(p, [&] { return SteadyClock::now() >= until; }, ms + 1000);
}

// Records every event of an endpoint.
struct Recorder {
    int connects = 0;
    std::vector<std::int64_t> arrivals;
    std::vector<std::int64_t> requests;
    std::vector<int> errors;
    std::int64_t progressSum = 0;
    int progressEvents = 0;
    int completes = 0;
    std::string received;
    bool readOnArrival = true;

    int total() const {
        return connects + static_cast<int>(arrivals.size() + requests.size() + errors.size()) + progressEvents +
               completes;
    }

    void watch(Endpoint& e) {
        e.onConnect = [this] { ++connects; };
        e.onDataArrival = [this, &e](std::int64_t n) {
            arrivals.push_back(n);
            if (readOnArrival) received += e.getData();
        };
        e.onConnectionRequest = [this](std::int64_t id) { requests.push_back(id); };
        e.onError = [this](int number, const std::string&) { errors.push_back(number); };
        e.onSendProgress = [this](std::int64_t sent, std::int64_t) {
            progressSum += sent;
            ++progressEvents;
        };
        e.onSendComplete = [this] { ++completes; };
    }
};

// A listening endpoint and a client connected to it, both on the platform.
struct Pair {
    std::unique_ptr<Endpoint> server, client;
    Recorder s, c;
};

// Listens on an ephemeral port (on localHost; empty: every IPv4 interface),
// connects a client to it through host, and accepts on the listening
// endpoint itself (close, then accept).
bool connectPair(QtPlatform& p, Pair& pair, const std::string& host = "127.0.0.1",
                 const std::string& localHost = "") {
    pair.server = p.makeEndpoint();
    pair.client = p.makeEndpoint();
    pair.s.watch(*pair.server);
    pair.c.watch(*pair.client);
    Endpoint* server = pair.server.get();
    Recorder* s = &pair.s;
    pair.server->onConnectionRequest = [server, s](std::int64_t id) {
        s->requests.push_back(id);
        server->close();
        server->accept(id);
    };
    pair.server->setLocalHost(localHost);
    pair.server->setLocalPort(0);
    pair.server->listen();
    if (pair.server->state() != Endpoint::Listening || pair.server->localPort() <= 0) return false;
    pair.client->setRemoteHost(host);
    pair.client->setRemotePort(pair.server->localPort());
    pair.client->setLocalPort(0);
    pair.client->connect();
    return waitFor(p, [&] {
        return pair.c.connects == 1 && pair.server->state() == Endpoint::Connected &&
               pair.client->state() == Endpoint::Connected;
    });
}

// Whether a socket can be bound to ::1 on this machine.
bool ipv6LoopbackAvailable() {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

// A plain listening socket on 127.0.0.1 with an ephemeral port.
int rawListener(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return fd;
}

// Accepts on a plain listener, polling so that the loop keeps running.
int rawAccept(QtPlatform& p, int listener) {
    int c = -1;
    waitFor(p, [&] {
        pollfd pfd{listener, POLLIN, 0};
        if (::poll(&pfd, 1, 0) == 1) c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        return c >= 0;
    });
    return c;
}

void rawSend(int fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// A connection between an endpoint (client) and a plain socket the test
// holds (peer).
struct RawPair {
    std::unique_ptr<Endpoint> client;
    Recorder c;
    int peer = -1;
    ~RawPair() {
        if (peer >= 0) ::close(peer);
    }
};

bool connectRaw(QtPlatform& p, RawPair& pair) {
    int port = 0;
    int listener = rawListener(port);
    if (listener < 0) return false;
    pair.client = p.makeEndpoint();
    pair.c.watch(*pair.client);
    pair.client->setRemoteHost("127.0.0.1");
    pair.client->setRemotePort(port);
    pair.client->connect();
    pair.peer = rawAccept(p, listener);
    ::close(listener);
    return pair.peer >= 0 && waitFor(p, [&] { return pair.c.connects == 1; });
}

}  // namespace

// ---- Listening, accepting, connecting

TEST(QtEndpoint, ListenOnPortZeroReadsBackARealPortAndAcceptsAConnection) {
    QtPlatform p;
    Pair pair;
    ASSERT_TRUE(connectPair(p, pair));
    EXPECT_EQ(pair.s.requests.size(), 1u);
    EXPECT_EQ(pair.c.connects, 1);
    EXPECT_EQ(pair.s.connects, 0) << "accepting raises no Connect";
    EXPECT_EQ(pair.client->localIP(), "127.0.0.1");
    EXPECT_EQ(pair.server->localIP(), "127.0.0.1");
    EXPECT_GT(pair.client->localPort(), 0);
    EXPECT_TRUE(pair.s.errors.empty());
    EXPECT_TRUE(pair.c.errors.empty());
}

TEST(QtEndpoint, AnIPv4ConnectionReportsDottedAddressesOnBothSides) {
    QtPlatform p;
    Pair pair;
    ASSERT_TRUE(connectPair(p, pair));
    EXPECT_EQ(pair.client->remoteIP(), "127.0.0.1");
    EXPECT_EQ(pair.server->remoteIP(), "127.0.0.1");
    EXPECT_EQ(pair.server->localPort(), pair.client->remotePort());
}

// An IPv6 listener on ::1, reached through the address with and without
// brackets.
class QtEndpointIPv6 : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (!ipv6LoopbackAvailable()) GTEST_SKIP() << "::1 cannot be bound on this machine (no IPv6 on loopback)";
    }
};

TEST_P(QtEndpointIPv6, ConnectsToAListenerOnLoopbackAndCarriesDataBothWays) {
    QtPlatform p;
    Pair pair;
    ASSERT_TRUE(connectPair(p, pair, GetParam(), "::1"));
    EXPECT_EQ(pair.client->localIP(), "::1");
    EXPECT_EQ(pair.client->remoteIP(), "::1");
    EXPECT_EQ(pair.server->localIP(), "::1");
    EXPECT_EQ(pair.server->remoteIP(), "::1");
    EXPECT_EQ(pair.server->localPort(), pair.client->remotePort());
    EXPECT_TRUE(pair.client->sendData("EPSV\r\n"));
    ASSERT_TRUE(waitFor(p, [&] { return pair.s.received.size() == 6; }));
    EXPECT_EQ(pair.s.received, "EPSV\r\n");
    EXPECT_TRUE(pair.server->sendData("229 Entering Extended Passive Mode (|||6446|)\r\n"));
    ASSERT_TRUE(waitFor(p, [&] { return pair.c.received.size() == 47; }));
    EXPECT_EQ(pair.c.received, "229 Entering Extended Passive Mode (|||6446|)\r\n");
    EXPECT_TRUE(pair.s.errors.empty());
    EXPECT_TRUE(pair.c.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Hosts, QtEndpointIPv6, ::testing::Values("::1", "[::1]"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return info.index == 0 ? std::string("Bare") : std::string("Bracketed");
                         });

TEST(QtEndpoint, AnIPv4MappedIPv6AddressIsReportedDotted) {
    if (!ipv6LoopbackAvailable()) GTEST_SKIP() << "::1 cannot be bound on this machine (no IPv6 on loopback)";
    QtPlatform p;
    Pair pair;
    ASSERT_TRUE(connectPair(p, pair, "::ffff:127.0.0.1"));
    EXPECT_EQ(pair.client->localIP(), "127.0.0.1");
    EXPECT_EQ(pair.client->remoteIP(), "127.0.0.1");
}

TEST(QtEndpoint, ConnectsThroughAHostNameResolvedWithoutBlocking) {
    QtPlatform p;
    Pair pair;
    pair.server = p.makeEndpoint();
    pair.client = p.makeEndpoint();
    pair.c.watch(*pair.client);
    Endpoint* server = pair.server.get();
    pair.server->onConnectionRequest = [server](std::int64_t id) {
        server->close();
        server->accept(id);
    };
    pair.server->listen();
    pair.client->setRemoteHost("localhost");
    pair.client->setRemotePort(pair.server->localPort());
    pair.client->connect();
    EXPECT_EQ(pair.client->state(), Endpoint::ResolvingHost) << "the name lookup blocked connect()";
    ASSERT_TRUE(waitFor(p, [&] { return pair.c.connects == 1 && server->state() == Endpoint::Connected; }));
    EXPECT_EQ(pair.client->localIP(), "127.0.0.1");
}

TEST(QtEndpoint, UnknownRequestIdDoesNothingAndListeningAgainDropsPendingConnections) {
    QtPlatform p;
    auto server = p.makeEndpoint();
    Recorder s;
    s.watch(*server);
    server->accept(123456789);
    EXPECT_EQ(server->state(), Endpoint::Closed);
    server->listen();
    const int port = server->localPort();
    ASSERT_GT(port, 0);

    auto client = p.makeEndpoint();
    Recorder c;
    c.watch(*client);
    client->setRemoteHost("127.0.0.1");
    client->setRemotePort(port);
    client->connect();
    ASSERT_TRUE(waitFor(p, [&] { return s.requests.size() == 1; }));
    const std::int64_t oldId = s.requests[0];
    // Listening again discards the connection not taken: its id is gone
    // and the client sees the connection end.
    server->setLocalPort(port);
    server->listen();
    EXPECT_EQ(server->state(), Endpoint::Listening);
    EXPECT_EQ(server->localPort(), port);
    ASSERT_TRUE(waitFor(p, [&] { return client->state() == Endpoint::Closing; }));
    server->close();
    server->accept(oldId);
    EXPECT_EQ(server->state(), Endpoint::Closed);
}

// A pending request tells where it comes from; refusing it closes that
// connection unread while the endpoint goes on listening for the next. The
// stranger connects from 127.0.0.2 (still the loopback) to 127.0.0.1.
TEST(QtEndpoint, ARefusedRequestIsClosedAndTheListenerTakesTheNext) {
    QtPlatform p;
    auto server = p.makeEndpoint();
    Recorder s;
    s.watch(*server);
    EXPECT_EQ(server->requestIP(987654321), "");
    server->refuse(987654321);
    server->setLocalHost("127.0.0.1");
    server->listen();
    const int port = server->localPort();
    ASSERT_GT(port, 0);
    std::vector<std::string> from;
    server->onConnectionRequest = [&](std::int64_t id) {
        from.push_back(server->requestIP(id));
        if (from.back() == "127.0.0.1") {
            server->close();
            server->accept(id);
        } else {
            server->refuse(id);
            EXPECT_EQ(server->requestIP(id), "");
        }
    };

    int stranger = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(stranger, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.2", &sa.sin_addr);
    if (::bind(stranger, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(stranger);
        GTEST_SKIP() << "127.0.0.2 cannot be bound on this machine";
    }
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::connect(stranger, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    rawSend(stranger, "forged");
    ASSERT_TRUE(waitFor(p, [&] { return from.size() == 1; }));
    EXPECT_EQ(from[0], "127.0.0.2");
    EXPECT_EQ(server->state(), Endpoint::Listening);
    // The stranger's connection ends without a byte for it.
    char byte = 0;
    ssize_t got = 1;
    bool ended = false;
    ASSERT_TRUE(waitFor(p, [&] {
        pollfd pfd{stranger, POLLIN, 0};
        if (::poll(&pfd, 1, 0) == 1) {
            got = ::recv(stranger, &byte, 1, MSG_DONTWAIT);
            ended = true;
        }
        return ended;
    }));
    EXPECT_LE(got, 0) << "the stranger received a byte";
    ::close(stranger);

    auto client = p.makeEndpoint();
    Recorder c;
    c.watch(*client);
    client->setRemoteHost("127.0.0.1");
    client->setRemotePort(port);
    client->connect();
    ASSERT_TRUE(waitFor(p, [&] { return server->state() == Endpoint::Connected && c.connects == 1; }));
    ASSERT_EQ(from.size(), 2u);
    EXPECT_EQ(from[1], "127.0.0.1");
    EXPECT_EQ(server->remoteIP(), "127.0.0.1");
    EXPECT_TRUE(server->getData().empty()) << "nothing of the stranger's reached the endpoint";
    EXPECT_TRUE(s.errors.empty());
}

TEST(QtEndpoint, ListeningOnAPortInUseGivesError10048Later) {
    QtPlatform p;
    auto first = p.makeEndpoint();
    first->listen();
    ASSERT_EQ(first->state(), Endpoint::Listening);
    auto second = p.makeEndpoint();
    Recorder r;
    r.watch(*second);
    second->setLocalPort(first->localPort());
    second->listen();
    EXPECT_EQ(second->state(), Endpoint::Error);
    EXPECT_TRUE(r.errors.empty()) << "an event was raised inside listen()";
    ASSERT_TRUE(waitFor(p, [&] { return !r.errors.empty(); }));
    EXPECT_EQ(r.errors, (std::vector<int>{neterr::AddressInUse}));
}

TEST(QtEndpoint, ConnectingToAClosedPortGivesError10061) {
    QtPlatform p;
    int port = 0;
    int fd = rawListener(port);  // take a free port, then free it again
    ASSERT_GE(fd, 0);
    ::close(fd);
    auto client = p.makeEndpoint();
    Recorder c;
    c.watch(*client);
    client->setRemoteHost("127.0.0.1");
    client->setRemotePort(port);
    client->connect();
    ASSERT_TRUE(waitFor(p, [&] { return !c.errors.empty(); }));
    EXPECT_EQ(c.errors, (std::vector<int>{neterr::ConnectionRefused}));
    EXPECT_EQ(client->state(), Endpoint::Error);
    EXPECT_EQ(c.connects, 0);
}

TEST(QtEndpoint, AnUnknownHostGivesError11001WithoutBlockingTheLoop) {
    QtPlatform p;
    auto client = p.makeEndpoint();
    Recorder c;
    c.watch(*client);
    auto t = p.makeTimer();
    int ticks = 0;
    t->setInterval(5);
    t->onTick = [&] { ++ticks; };
    t->setEnabled(true);
    // Names under "invalid." never exist, so no name server is asked.
    client->setRemoteHost("no-such-host.invalid");
    client->setRemotePort(21);
    client->connect();
    EXPECT_EQ(client->state(), Endpoint::ResolvingHost);
    EXPECT_TRUE(c.errors.empty()) << "an event was raised inside connect()";
    ASSERT_TRUE(waitFor(p, [&] { return !c.errors.empty(); }, 20000));
    EXPECT_EQ(c.errors, (std::vector<int>{neterr::HostNotFound}));
    EXPECT_EQ(client->state(), Endpoint::Error);
    runFor(p, 30);
    EXPECT_GT(ticks, 0) << "the loop stopped running";
}

// ---- Data

TEST(QtEndpoint, DataFlowsBothWays) {
    QtPlatform p;
    Pair pair;
    ASSERT_TRUE(connectPair(p, pair));
    EXPECT_TRUE(pair.client->sendData("USER anonymous\r\n"));
    ASSERT_TRUE(waitFor(p, [&] { return pair.s.received.size() == 16; }));
    EXPECT_EQ(pair.s.received, "USER anonymous\r\n");
    EXPECT_TRUE(pair.server->sendData("331 Password required\r\n"));
    ASSERT_TRUE(waitFor(p, [&] { return pair.c.received.size() == 23; }));
    EXPECT_EQ(pair.c.received, "331 Password required\r\n");
    EXPECT_TRUE(waitFor(p, [&] { return pair.c.completes == 1 && pair.s.completes == 1; }));
    EXPECT_EQ(pair.c.progressSum, 16);
    EXPECT_EQ(pair.s.progressSum, 23);
    EXPECT_FALSE(pair.c.arrivals.empty());
    EXPECT_EQ(pair.c.arrivals.front(), 23);
}

TEST(QtEndpoint, SendingWhenNotConnectedReturnsFalseAndRaisesNothing) {
    QtPlatform p;
    auto e = p.makeEndpoint();
    Recorder r;
    r.watch(*e);
    EXPECT_FALSE(e->sendData("x"));
    e->listen();
    EXPECT_FALSE(e->sendData("x"));
    e->close();
    runFor(p, 30);
    EXPECT_EQ(r.total(), 0);
}

TEST(QtEndpoint, ACleanCloseByThePeerGivesClosingStateWithoutErrorAndKeepsItsData) {
    QtPlatform p;
    // Between two endpoints: the server sends, then closes.
    {
        Pair pair;
        ASSERT_TRUE(connectPair(p, pair));
        pair.c.readOnArrival = false;
        ASSERT_TRUE(pair.server->sendData("226 Transfer complete\r\n"));
        pair.server->close();
        EXPECT_EQ(pair.server->state(), Endpoint::Closed);
        ASSERT_TRUE(waitFor(p, [&] { return pair.client->state() == Endpoint::Closing; }));
        runFor(p, 30);
        EXPECT_TRUE(pair.c.errors.empty());
        EXPECT_EQ(pair.client->getData(), "226 Transfer complete\r\n");
        EXPECT_FALSE(pair.c.arrivals.empty());
        EXPECT_FALSE(pair.client->sendData("x")) << "sending is refused once the peer has closed";
        pair.client->close();
        EXPECT_EQ(pair.client->state(), Endpoint::Closed);
    }
    // Against a plain socket that sends and closes before anything is read.
    {
        RawPair pair;
        ASSERT_TRUE(connectRaw(p, pair));
        pair.c.readOnArrival = false;
        rawSend(pair.peer, "hello, ");
        rawSend(pair.peer, "world");
        ::close(pair.peer);
        pair.peer = -1;
        ASSERT_TRUE(waitFor(p, [&] { return pair.client->state() == Endpoint::Closing; }));
        runFor(p, 30);
        EXPECT_TRUE(pair.c.errors.empty());
        ASSERT_FALSE(pair.c.arrivals.empty());
        EXPECT_EQ(pair.c.arrivals.back(), 12);
        EXPECT_EQ(pair.client->bytesAvailable(), 12);
        EXPECT_EQ(pair.client->getData(), "hello, world");
        EXPECT_EQ(pair.client->bytesAvailable(), 0);
    }
}

TEST(QtEndpoint, AResetByThePeerGivesError10054) {
    QtPlatform p;
    RawPair pair;
    ASSERT_TRUE(connectRaw(p, pair));
    linger lin{1, 0};  // close with an RST instead of a FIN
    ASSERT_EQ(::setsockopt(pair.peer, SOL_SOCKET, SO_LINGER, &lin, sizeof lin), 0);
    ::close(pair.peer);
    pair.peer = -1;
    ASSERT_TRUE(waitFor(p, [&] { return !pair.c.errors.empty(); }));
    EXPECT_EQ(pair.c.errors, (std::vector<int>{neterr::ConnectionReset}));
    EXPECT_EQ(pair.client->state(), Endpoint::Error);
    pair.client->close();
    EXPECT_EQ(pair.client->state(), Endpoint::Closed);
}

TEST(QtEndpoint, AChainOf2000ByteSendsFromSendCompleteDeliversEveryByteInOrder) {
    QtPlatform p;
    Pair pair;
    ASSERT_TRUE(connectPair(p, pair));
    constexpr int kTotal = 1000000;
    constexpr int kPiece = 2000;
    std::string all(kTotal, '\0');
    for (int i = 0; i < kTotal; ++i) all[i] = static_cast<char>((i * 7 + i / 251) & 0xff);

    int offset = 0;
    int sendsRefused = 0;
    auto sendNext = [&] {
        if (offset >= kTotal) return;
        if (!pair.client->sendData(all.substr(offset, kPiece))) ++sendsRefused;
        offset += kPiece;
    };
    pair.client->onSendComplete = [&] {
        ++pair.c.completes;
        sendNext();
    };
    const auto t0 = SteadyClock::now();
    sendNext();
    ASSERT_TRUE(waitFor(p, [&] { return pair.s.received.size() >= static_cast<std::size_t>(kTotal); }, 30000))
        << "received " << pair.s.received.size();
    ASSERT_TRUE(waitFor(p, [&] { return pair.c.completes == kTotal / kPiece; }, 5000));
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
    EXPECT_EQ(sendsRefused, 0);
    EXPECT_EQ(pair.c.progressSum, kTotal);
    EXPECT_EQ(pair.s.received.size(), static_cast<std::size_t>(kTotal));
    EXPECT_TRUE(pair.s.received == all) << "bytes arrived changed or out of order";
    // 500 pieces take a few milliseconds; allow a very loaded machine.
    EXPECT_LT(ms, 10000.0);
    std::printf("[          ] 1 MB in 2000-byte pieces took %.1f ms (%.1f us per piece)\n", ms,
                ms * 1000.0 / (kTotal / kPiece));
}

// A deterministic byte pattern, so that reordered or lost bytes show.
std::string pattern(std::size_t size) {
    std::string all(size, '\0');
    for (std::size_t i = 0; i < size; ++i) all[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return all;
}

// Reads whatever the peer socket holds now, without blocking.
void drainPeer(int fd, std::string& into) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) return;
        into.append(buf, static_cast<std::size_t>(n));
    }
}

TEST(QtEndpoint, ASendOutsideASendCompleteHandlerReachesTheKernelAtOnce) {
    QtPlatform p;
    RawPair pair;
    ASSERT_TRUE(connectRaw(p, pair));
    ASSERT_TRUE(pair.client->sendData("NOOP\r\n"));
    // The loop has not run since: the bytes were written inside sendData.
    pollfd pfd{pair.peer, POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 1000), 1);
    std::string got;
    drainPeer(pair.peer, got);
    EXPECT_EQ(got, "NOOP\r\n");
    EXPECT_TRUE(pair.c.completes == 0) << "an event was raised inside sendData";
    ASSERT_TRUE(waitFor(p, [&] { return pair.c.completes == 1; }));
    EXPECT_EQ(pair.c.progressSum, 6);
}

TEST(QtEndpoint, AChainThatStopsShortStillDeliversItsLastPieces) {
    QtPlatform p;
    RawPair pair;
    ASSERT_TRUE(connectRaw(p, pair));
    // Ten pieces sent from SendComplete, far less than what is gathered
    // before a write: they must still go out once the chain stops.
    const std::string all = pattern(20000);
    std::size_t offset = 0;
    auto sendNext = [&] {
        if (offset >= all.size()) return;
        EXPECT_TRUE(pair.client->sendData(all.substr(offset, 2000)));
        offset += 2000;
    };
    pair.client->onSendComplete = [&] {
        ++pair.c.completes;
        sendNext();
    };
    sendNext();
    std::string got;
    ASSERT_TRUE(waitFor(p, [&] {
        drainPeer(pair.peer, got);
        return got.size() >= all.size() && pair.c.completes == 10;
    })) << "peer got " << got.size() << " bytes, " << pair.c.completes << " completions";
    EXPECT_TRUE(got == all);
    EXPECT_EQ(pair.c.progressSum, 20000);
    runFor(p, 30);
    EXPECT_EQ(pair.c.completes, 10);
}

// Shrinks the kernel's send buffer of this process's socket bound to
// localPort, so that the kernel soon takes no more; false if none found.
bool shrinkSendBuffer(int localPort) {
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) continue;
        if (ntohs(sa.sin_port) != localPort) continue;
        int size = 8 * 1024;
        return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0;
    }
    return false;
}

TEST(QtEndpoint, ClosingRightAfterAChainsLastSendCompleteStillDeliversEveryByte) {
    QtPlatform p;
    int port = 0;
    int listener = rawListener(port);
    ASSERT_GE(listener, 0);
    // Small kernel buffers on both sides and a slow reader keep them full:
    // when the chain ends, bytes reported sent are still with us.
    int small = 16 * 1024;
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    auto client = p.makeEndpoint();
    bool connected = false;
    client->onConnect = [&] { connected = true; };
    client->setRemoteHost("127.0.0.1");
    client->setRemotePort(port);
    client->connect();
    const int peer = rawAccept(p, listener);
    ::close(listener);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(waitFor(p, [&] { return connected; }));
    ASSERT_TRUE(shrinkSendBuffer(client->localPort()));

    std::string got;
    std::atomic<bool> eof{false};
    std::thread reader([&] {
        char buf[16 * 1024];
        const auto limit = SteadyClock::now() + Ms(20000);
        while (SteadyClock::now() < limit) {
            pollfd pfd{peer, POLLIN, 0};
            if (::poll(&pfd, 1, 100) != 1) continue;
            ssize_t n = ::recv(peer, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        eof = true;
    });

    const std::string all = pattern(4 * 1024 * 1024);
    std::size_t offset = 0;
    int completes = 0;
    bool closedAtOnce = false;
    client->onSendComplete = [&] {
        ++completes;
        if (offset >= all.size()) {
            // Like the upload: the last piece is complete, close at once.
            client->close();
            closedAtOnce = client->state() == Endpoint::Closed;
            return;
        }
        client->sendData(all.substr(offset, 2000));
        offset += 2000;
    };
    client->sendData(all.substr(0, 2000));
    offset = 2000;
    const bool ended = waitFor(p, [&] { return eof.load(); }, 25000);
    reader.join();
    ::close(peer);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(closedAtOnce);
    EXPECT_EQ(completes, static_cast<int>((all.size() + 1999) / 2000));
    EXPECT_EQ(got.size(), all.size());
    EXPECT_TRUE(got == all) << "bytes reported sent were lost or reordered by the close";
}

TEST(QtEndpoint, AChainCutByAResetByThePeerEndsWithError10054) {
    QtPlatform p;
    RawPair pair;
    ASSERT_TRUE(connectRaw(p, pair));
    std::string piece(2000, 'c');
    std::int64_t sent = 0;
    pair.client->onSendComplete = [&] {
        ++pair.c.completes;
        if (pair.client->sendData(piece)) sent += 2000;
    };
    pair.client->sendData(piece);
    std::string got;
    // Let the chain run a while, then reset the connection from the peer.
    ASSERT_TRUE(waitFor(p, [&] {
        drainPeer(pair.peer, got);
        return got.size() >= 1024 * 1024;
    }));
    linger lin{1, 0};
    ASSERT_EQ(::setsockopt(pair.peer, SOL_SOCKET, SO_LINGER, &lin, sizeof lin), 0);
    ::close(pair.peer);
    pair.peer = -1;
    ASSERT_TRUE(waitFor(p, [&] { return !pair.c.errors.empty(); }));
    EXPECT_EQ(pair.c.errors, (std::vector<int>{neterr::ConnectionReset}));
    EXPECT_EQ(pair.client->state(), Endpoint::Error);
    const int completesAtError = pair.c.completes;
    runFor(p, 50);
    EXPECT_EQ(pair.c.completes, completesAtError) << "the chain went on after the error";
}

TEST(QtEndpoint, ABigSendReportsProgressAndCompletesOnce) {
    QtPlatform p;
    Pair pair;
    ASSERT_TRUE(connectPair(p, pair));
    const std::string big(8 * 1024 * 1024, 'b');
    ASSERT_TRUE(pair.client->sendData(big));
    ASSERT_TRUE(waitFor(p, [&] { return pair.s.received.size() == big.size() && pair.c.completes == 1; }, 20000));
    EXPECT_EQ(pair.c.progressSum, static_cast<std::int64_t>(big.size()));
    EXPECT_GT(pair.c.progressEvents, 1) << "a send larger than the kernel buffers goes out in steps";
    EXPECT_EQ(pair.c.completes, 1);
}

TEST(QtEndpoint, TwoArrivalsBeforeOneReadTheSecondHandlerFindsNothing) {
    QtPlatform p;
    RawPair pair;
    ASSERT_TRUE(connectRaw(p, pair));
    std::vector<std::int64_t> availableAtEntry;
    std::vector<std::string> taken;
    int peer = pair.peer;
    Endpoint* client = pair.client.get();
    client->onDataArrival = [&, peer, client](std::int64_t) {
        availableAtEntry.push_back(client->bytesAvailable());
        if (availableAtEntry.size() == 1) {
            // While this handler waits, more data arrives and its arrival
            // is queued behind this one.
            rawSend(peer, "def");
            waitFor(p, [&] { return client->bytesAvailable() > 3; });
            taken.push_back(client->getData());
        } else {
            taken.push_back(client->getData());
        }
    };
    rawSend(peer, "abc");
    ASSERT_TRUE(waitFor(p, [&] { return availableAtEntry.size() == 2; }));
    runFor(p, 30);
    ASSERT_EQ(availableAtEntry.size(), 2u);
    EXPECT_EQ(availableAtEntry[0], 3);
    EXPECT_EQ(availableAtEntry[1], 0) << "the first read took everything";
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0], "abcdef");
    EXPECT_EQ(taken[1], "");
}

TEST(QtEndpoint, ReceivingStopsWhileMuchDataIsUnreadAndResumesOnRead) {
    QtPlatform p;
    Pair pair;
    ASSERT_TRUE(connectPair(p, pair));
    pair.c.readOnArrival = false;
    const std::size_t total = 24u * 1024 * 1024;
    std::string big(total, '\0');
    for (std::size_t i = 0; i < total; ++i) big[i] = static_cast<char>(i % 251);
    ASSERT_TRUE(pair.server->sendData(big));
    // Nobody reads: what the endpoint holds stops growing near 4 MiB.
    std::int64_t most = 0;
    runFor(p, 300);
    most = pair.client->bytesAvailable();
    EXPECT_GE(most, 4 * 1024 * 1024);
    EXPECT_LE(most, 4 * 1024 * 1024 + 512 * 1024);
    EXPECT_EQ(pair.s.completes, 0) << "the sender cannot finish while the receiver is full";
    // Reading resumes it.
    std::string got;
    ASSERT_TRUE(waitFor(
        p,
        [&] {
            most = std::max(most, pair.client->bytesAvailable());
            got += pair.client->getData();
            return got.size() >= total;
        },
        30000));
    EXPECT_TRUE(got == big);
    EXPECT_LE(most, 4 * 1024 * 1024 + 512 * 1024);
    ASSERT_TRUE(waitFor(p, [&] { return pair.s.completes == 1; }));
}

// ---- Closing

TEST(QtEndpoint, ClosingAClosedEndpointRaisesNothing) {
    QtPlatform p;
    auto e = p.makeEndpoint();
    Recorder r;
    r.watch(*e);
    e->close();
    e->close();
    EXPECT_EQ(e->state(), Endpoint::Closed);
    runFor(p, 30);
    EXPECT_EQ(r.total(), 0);
}

TEST(QtEndpoint, EventsQueuedBeforeCloseAreDropped) {
    QtPlatform p;
    // Send progress and completion already queued.
    {
        Pair pair;
        ASSERT_TRUE(connectPair(p, pair));
        const int before = pair.c.total();
        ASSERT_TRUE(pair.client->sendData("NOOP\r\n"));
        pair.client->close();
        runFor(p, 50);
        EXPECT_EQ(pair.c.total(), before);
    }
    // A data arrival already queued.
    {
        RawPair pair;
        ASSERT_TRUE(connectRaw(p, pair));
        rawSend(pair.peer, "220 ready\r\n");
        // The arrival is queued once the data is buffered; close before the
        // loop delivers it.
        ASSERT_TRUE(waitFor(p, [&] { return pair.client->bytesAvailable() > 0 || !pair.c.arrivals.empty(); }));
        ASSERT_TRUE(pair.c.arrivals.empty()) << "the arrival came before close() could be called";
        pair.client->close();
        EXPECT_EQ(pair.client->bytesAvailable(), 0);
        runFor(p, 50);
        EXPECT_TRUE(pair.c.arrivals.empty());
    }
    // A connection outcome already on its way.
    {
        int port = 0;
        int listener = rawListener(port);
        ASSERT_GE(listener, 0);
        auto e = p.makeEndpoint();
        Recorder r;
        r.watch(*e);
        e->setRemoteHost("127.0.0.1");
        e->setRemotePort(port);
        e->connect();
        e->close();
        runFor(p, 50);
        EXPECT_EQ(r.total(), 0);
        ::close(listener);
    }
    // An endpoint deleted with events queued: they are dropped safely.
    {
        Pair pair;
        ASSERT_TRUE(connectPair(p, pair));
        ASSERT_TRUE(pair.client->sendData("QUIT\r\n"));
        pair.client.reset();
        runFor(p, 50);
        EXPECT_EQ(pair.c.completes, 0);
    }
}

TEST(QtEndpoint, ClosingOneSideOfAnEndpointPairLeavesTheOtherClosing) {
    QtPlatform p;
    Pair pair;
    ASSERT_TRUE(connectPair(p, pair));
    pair.client->close();
    ASSERT_TRUE(waitFor(p, [&] { return pair.server->state() == Endpoint::Closing; }));
    EXPECT_TRUE(pair.s.errors.empty());
    // The listening endpoint that accepted can listen again.
    pair.server->close();
    pair.server->setLocalPort(0);
    pair.server->listen();
    EXPECT_EQ(pair.server->state(), Endpoint::Listening);
    EXPECT_GT(pair.server->localPort(), 0);
}

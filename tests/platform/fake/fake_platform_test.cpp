// The fake platform the logic's tests stand on: the virtual clock, nested
// waits, timers and in-memory connections.

#include <gtest/gtest.h>

#include <vector>

#include "platform/fake/fake_platform.h"

namespace corvantel::testing {
namespace {

using platform::Endpoint;
using platform::fake::FakePlatform;
using platform::fake::Stuck;

TEST(FakeLoop, NestedWaitsThreeDeepUnwindLastInFirstOut) {
    FakePlatform p;
    std::vector<int> order;
    bool a = false, b = false, c = false;
    p.post([&] {
        p.waitUntil([&] { return b; });
        order.push_back(2);
        a = true;
    });
    p.post([&] {
        p.waitUntil([&] { return c; });
        order.push_back(3);
        b = true;
    });
    p.post([&] {
        order.push_back(4);
        c = true;
    });
    p.waitUntil([&] { return a; });
    order.push_back(1);
    // The innermost wait ends first, then each enclosing one.
    EXPECT_EQ(order, (std::vector<int>{4, 3, 2, 1}));
    EXPECT_EQ(p.waitDepth(), 0);
}

TEST(FakeLoop, AWaitThatCanNeverEndFailsInsteadOfHanging) {
    FakePlatform p;
    EXPECT_THROW(p.waitUntil([] { return false; }), Stuck);
    auto t = p.makeTimer();
    t->setInterval(1000);
    t->setEnabled(true);
    t->onTick = [] {};
    EXPECT_THROW(p.runUntil([] { return false; }, 60'000), Stuck);
}

TEST(FakeLoop, TimersRunOnTheVirtualClockAndNeverReenter) {
    FakePlatform p;
    p.setLocalTime(2026, 12, 7, 23, 59, 55);
    auto t = p.makeTimer();
    int ticks = 0, depth = 0, maxDepth = 0;
    t->onTick = [&] {
        ++ticks;
        maxDepth = std::max(maxDepth, ++depth);
        if (ticks == 1) p.runFor(5'000);  // a handler that waits through later expiries
        --depth;
    };
    t->setInterval(1000);
    t->setEnabled(true);
    p.runFor(10'000);
    EXPECT_EQ(maxDepth, 1);
    EXPECT_GE(ticks, 5);
    EXPECT_EQ(p.nowMs(), 10'000);
    auto now = p.now();
    EXPECT_EQ(now.day, 8);
    EXPECT_EQ(now.hour, 0);
    EXPECT_EQ(now.second, 5);
    EXPECT_EQ(now.weekday, 2);
}

TEST(FakeNetwork, ConnectSendReceiveAndClose) {
    FakePlatform p;
    std::shared_ptr<platform::fake::Peer> server;
    p.addServer(21, [&](auto peer) {
        server = peer;
        peer->send("220 hello\r\n");
    });
    auto e = p.makeEndpoint();
    std::string got;
    e->onDataArrival = [&](std::int64_t) { got += e->getData(); };
    int errors = 0;
    e->onError = [&](int, const std::string&) { ++errors; };
    e->setRemoteHost("127.0.0.1");
    e->setRemotePort(21);
    e->connect();
    p.runUntil([&] { return !got.empty(); });
    EXPECT_EQ(got, "220 hello\r\n");
    EXPECT_EQ(e->state(), Endpoint::Connected);
    EXPECT_TRUE(e->sendData("USER u\r\n"));
    p.runFor(1);
    EXPECT_EQ(server->takeReceived(), "USER u\r\n");
    server->close();
    p.runFor(1);
    EXPECT_EQ(e->state(), Endpoint::Closing);  // a clean close is no error
    EXPECT_EQ(errors, 0);
    EXPECT_FALSE(e->sendData("x"));
}

TEST(FakeNetwork, RefusedUnknownHostAndReset) {
    FakePlatform p;
    auto e = p.makeEndpoint();
    int error = 0;
    e->onError = [&](int n, const std::string&) { error = n; };
    e->setRemoteHost("nowhere.invalid");
    e->setRemotePort(21);
    e->connect();
    p.runFor(1);
    EXPECT_EQ(error, 11001);
    e->setRemoteHost("127.0.0.1");
    e->connect();
    p.runFor(1);
    EXPECT_EQ(error, 10061);

    auto listener = p.makeEndpoint();
    listener->onConnectionRequest = [&](std::int64_t id) {
        listener->close();
        listener->accept(id);
    };
    listener->onError = [&](int n, const std::string&) { error = n; };
    listener->listen();
    ASSERT_NE(listener->localPort(), 0);
    auto peer = p.connectTo(listener->localPort());
    ASSERT_TRUE(peer);
    peer->send("data");
    peer->reset();
    p.runFor(1);
    EXPECT_EQ(listener->getData(), "data");
    EXPECT_EQ(error, 10054);
}

TEST(FakeNetwork, EventsQueuedBeforeACloseAreDropped) {
    FakePlatform p;
    auto listener = p.makeEndpoint();
    int arrivals = 0;
    listener->onConnectionRequest = [&](std::int64_t id) { listener->accept(id); };
    listener->onDataArrival = [&](std::int64_t) { ++arrivals; };
    listener->listen();
    auto peer = p.connectTo(listener->localPort());
    p.runFor(1);
    peer->send("one");
    listener->close();
    p.runFor(1);
    EXPECT_EQ(arrivals, 0);
    EXPECT_TRUE(peer->closedByProgram());
}

}  // namespace
}  // namespace corvantel::testing

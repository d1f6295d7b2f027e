// The Qt platform's queue of posted calls: order, nesting, fairness towards
// Qt's own events (timers, sockets), and posting from inside waits. Run on
// both of Qt's dispatchers (ctest runs this binary again with QT_NO_GLIB=1).

#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/qt/qt_platform.h"
#include "wait_helpers.h"

using namespace corvantel::platform;
using corvantel::platform::qt::QtPlatform;
using corvantel::testing::Ms;
using corvantel::testing::SteadyClock;
using corvantel::testing::msSince;
using corvantel::testing::waitFor;

namespace {


// A call that posts itself again until stop is set: a chain that never
// leaves the queue empty. Counts the calls run. It stops by itself after
// limitMs, so that a starved Qt (whose timers then never fire) makes the
// test fail instead of hanging.
struct EndlessChain {
    QtPlatform& p;
    int limitMs = 5000;
    bool stop = false;
    bool timedOut = false;
    long runs = 0;
    SteadyClock::time_point started{};
    void start() {
        started = SteadyClock::now();
        p.loop().post([this] { step(); });
    }
    void step() {
        ++runs;
        if (msSince(started) > limitMs) {
            timedOut = true;
            stop = true;
        }
        if (!stop) p.loop().post([this] { step(); });
    }
};

// A listening endpoint and a client connected to it, both on the platform.
struct Pair {
    std::unique_ptr<Endpoint> server, client;
};

bool connectPair(QtPlatform& p, Pair& pair) {
    pair.server = p.makeEndpoint();
    pair.client = p.makeEndpoint();
    Endpoint* server = pair.server.get();
    bool connected = false;
    pair.server->onConnectionRequest = [server](std::int64_t id) {
        server->close();
        server->accept(id);
    };
    pair.client->onConnect = [&connected] { connected = true; };
    pair.server->setLocalPort(0);
    pair.server->listen();
    if (pair.server->state() != Endpoint::Listening) return false;
    pair.client->setRemoteHost("127.0.0.1");
    pair.client->setRemotePort(pair.server->localPort());
    pair.client->connect();
    const bool ok = waitFor(p, [&] { return connected && server->state() == Endpoint::Connected; });
    pair.client->onConnect = nullptr;
    return ok;
}

}  // namespace

TEST(QtQueue, ManyPostedCallsRunInTheOrderPosted) {
    QtPlatform p;
    std::vector<int> order;
    for (int i = 0; i < 1000; ++i) p.loop().post([&order, i] { order.push_back(i); });
    EXPECT_TRUE(order.empty()) << "a call ran inside post()";
    ASSERT_TRUE(waitFor(p, [&] { return order.size() == 1000; }));
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(order[i], i) << "out of order at " << i;
}

TEST(QtQueue, ACallPostedFromACallRunsAfterThoseAlreadyQueued) {
    QtPlatform p;
    std::vector<std::string> order;
    p.loop().post([&] {
        order.push_back("A");
        p.loop().post([&] {
            order.push_back("D");
            p.loop().post([&] { order.push_back("F"); });
        });
    });
    p.loop().post([&] { order.push_back("B"); });
    p.loop().post([&] {
        order.push_back("C");
        p.loop().post([&] { order.push_back("E"); });
    });
    ASSERT_TRUE(waitFor(p, [&] { return order.size() == 6; }));
    EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "C", "D", "E", "F"}));
}

TEST(QtQueue, AWaitRetestsItsConditionAfterEachQueuedCall) {
    QtPlatform p;
    std::vector<int> ran;
    for (int i = 1; i <= 10; ++i) p.loop().post([&ran, i] { ran.push_back(i); });
    // The condition holds once the fifth call has run: the wait returns
    // there, and the other five stay queued for later.
    p.loop().waitUntil([&] { return ran.size() >= 5; });
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4, 5}));
    ASSERT_TRUE(waitFor(p, [&] { return ran.size() == 10; }));
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST(QtQueue, WaitsInsideQueuedCallsUnwindLastInFirstOut) {
    QtPlatform p;
    bool outerDone = false, innerDone = false;
    bool setOuter = false, setInner = false;
    std::vector<std::string> events;
    // Outer waits for its flag; while it waits, the next queued call (Inner)
    // runs inside it and waits for its own flag. Outer's flag is set first,
    // by a later call, yet Outer returns only after Inner.
    p.loop().post([&] {
        events.push_back("outer waits");
        p.loop().waitUntil([&] { return setOuter; });
        events.push_back("outer returns");
        outerDone = true;
    });
    p.loop().post([&] {
        EXPECT_EQ(p.loop().waitDepth(), 2) << "the inner call does not run inside the outer wait";
        events.push_back("inner waits");
        p.loop().waitUntil([&] { return setInner; });
        events.push_back("inner returns");
        innerDone = true;
    });
    p.loop().post([&] {
        events.push_back("outer flag set");
        setOuter = true;
        p.loop().post([&] {
            events.push_back("inner flag set");
            setInner = true;
        });
    });
    ASSERT_TRUE(waitFor(p, [&] { return outerDone && innerDone; }));
    EXPECT_EQ(events, (std::vector<std::string>{"outer waits", "inner waits", "outer flag set", "inner flag set",
                                                "inner returns", "outer returns"}));
    EXPECT_EQ(p.loop().waitDepth(), 0);
}

TEST(QtQueue, AnEndlessChainOfPostsInsideAWaitLetsTimersAndSocketsThrough) {
    QtPlatform p;
    Pair pair;
    ASSERT_TRUE(connectPair(p, pair));
    std::string received;
    pair.server->onDataArrival = [&](std::int64_t) { received += pair.server->getData(); };
    auto timer = p.makeTimer();
    int ticks = 0;
    timer->setInterval(5);
    timer->onTick = [&] { ++ticks; };
    timer->setEnabled(true);

    EndlessChain chain{p};
    chain.start();
    ASSERT_TRUE(pair.client->sendData("hello"));
    // This wait runs the chain itself: the chain never lets the queue
    // empty, yet the timer ticks and the data arrives.
    const bool through =
        waitFor(p, [&] { return (ticks >= 3 && received == "hello") || chain.timedOut; }, 5000) &&
        !chain.timedOut;
    chain.stop = true;
    timer->setEnabled(false);
    EXPECT_TRUE(through) << "ticks " << ticks << ", received '" << received << "'";
    EXPECT_GT(chain.runs, 1000) << "the chain did not keep running";
    ASSERT_TRUE(waitFor(p, [&] {
        const long before = chain.runs;
        p.loop().yield();
        return chain.runs == before;
    }));
}

TEST(QtQueue, AnEndlessChainOfPostsAtTheTopOfTheLoopLetsTimersAndSocketsThrough) {
    QtPlatform p;
    Pair pair;
    ASSERT_TRUE(connectPair(p, pair));
    std::string received;
    pair.server->onDataArrival = [&](std::int64_t) { received += pair.server->getData(); };
    auto timer = p.makeTimer();
    int ticks = 0;
    timer->setInterval(5);
    timer->setEnabled(true);

    // No wait at all: Qt's own loop runs and the queue is drained from it.
    QEventLoop top;
    timer->onTick = [&] {
        ++ticks;
        if (ticks >= 3 && received == "hello") top.quit();
    };
    QTimer::singleShot(5000, &top, [&] { top.quit(); });
    EndlessChain chain{p};
    chain.start();
    ASSERT_TRUE(pair.client->sendData("hello"));
    top.exec();
    chain.stop = true;
    timer->setEnabled(false);
    // Had Qt been starved, the chain would have run into its time limit
    // before the loop could end.
    EXPECT_FALSE(chain.timedOut) << "Qt's events were starved by the chain";
    EXPECT_GE(ticks, 3) << "the timer was starved";
    EXPECT_EQ(received, "hello") << "the socket was starved";
    EXPECT_GT(chain.runs, 1000) << "the chain did not keep running";
}

TEST(QtQueue, ACallPostedWhileAWaitBlocksRunsPromptly) {
    QtPlatform p;
    bool ran = false;
    SteadyClock::time_point postedAt{};
    auto t = p.makeTimer();
    t->setInterval(50);
    t->onTick = [&] {
        t->setEnabled(false);
        postedAt = SteadyClock::now();
        // From a timer's handler, while the wait below blocks in Qt.
        p.loop().post([&] { ran = true; });
    };
    t->setEnabled(true);
    // The deadline's check comes only after 2 s: nothing else wakes the wait.
    ASSERT_TRUE(waitFor(p, [&] { return ran; }, 2000, 2000));
    EXPECT_LT(msSince(postedAt), 500.0);
}

TEST(QtQueue, ACallPostedByACallInsideAWaitRunsInThatWait) {
    QtPlatform p;
    std::vector<std::string> events;
    bool done = false;
    p.loop().post([&] {
        bool answered = false;
        p.loop().post([&] {
            events.push_back("answer");
            answered = true;
        });
        events.push_back("wait");
        p.loop().waitUntil([&] { return answered; });
        events.push_back("answered");
        done = true;
    });
    ASSERT_TRUE(waitFor(p, [&] { return done; }, 2000, 2000));
    EXPECT_EQ(events, (std::vector<std::string>{"wait", "answer", "answered"}));
}

TEST(QtQueue, YieldRunsTheCallsQueuedAtItsStart) {
    QtPlatform p;
    std::vector<int> ran;
    p.loop().post([&] { ran.push_back(1); });
    p.loop().post([&] { ran.push_back(2); });
    p.loop().post([&] { ran.push_back(3); });
    const auto t0 = SteadyClock::now();
    p.loop().yield();
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
    EXPECT_LT(msSince(t0), 200.0) << "yield blocked";
}

TEST(QtQueue, CallsStillQueuedWhenThePlatformGoesNeverRun) {
    bool ran = false;
    {
        QtPlatform p;
        p.loop().post([&] { ran = true; });
    }
    QtPlatform next;
    const auto until = SteadyClock::now() + Ms(50);
    waitFor(next, [&] { return SteadyClock::now() >= until; });
    EXPECT_FALSE(ran);
}

// The Qt platform's event loop, timers and clock, on the real Qt loop.

#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
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


// Lets the loop run for ms milliseconds.
void runFor(QtPlatform& p, int ms) {
    const auto until = SteadyClock::now() + Ms(ms);
    waitFor(p, [&] { return SteadyClock::now() >= until; }, ms + 1000);
}

std::int64_t epochOf(const LocalTime& t) {
    return epochSecondsFromCivil(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

}  // namespace

// ---- Event loop

TEST(QtLoop, PostRunsLaterInOrderNeverInsidePost) {
    QtPlatform p;
    std::vector<int> order;
    p.loop().post([&] { order.push_back(1); });
    p.loop().post([&] { order.push_back(2); });
    p.loop().post([&] { order.push_back(3); });
    EXPECT_TRUE(order.empty());
    ASSERT_TRUE(waitFor(p, [&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(QtLoop, WaitTestsConditionFirstAndCountsDepth) {
    QtPlatform p;
    EXPECT_EQ(p.loop().waitDepth(), 0);
    int tests = 0;
    int depthSeen = -1;
    p.loop().waitUntil([&] {
        ++tests;
        depthSeen = p.loop().waitDepth();
        return true;
    });
    EXPECT_EQ(tests, 1);
    EXPECT_EQ(depthSeen, 1);
    EXPECT_EQ(p.loop().waitDepth(), 0);
}

TEST(QtLoop, YieldRunsPendingCallsWithoutBlocking) {
    QtPlatform p;
    bool ran = false;
    p.loop().post([&] { ran = true; });
    auto t0 = SteadyClock::now();
    for (int i = 0; i < 5 && !ran; ++i) p.loop().yield();
    EXPECT_TRUE(ran);
    // Nothing pending: yield returns at once.
    t0 = SteadyClock::now();
    p.loop().yield();
    EXPECT_LT(msSince(t0), 200.0);
}

TEST(QtLoop, NestedWaitsThreeDeepUnwindLastInFirstOut) {
    QtPlatform p;
    bool flagA = false, flagB = false, flagC = false;
    std::vector<std::string> returned;
    std::vector<int> depths;
    SteadyClock::time_point lastFlagSet{};

    // A waits for flagA, and inside it B waits for flagB, and inside that C
    // waits for flagC. The flags are set outermost first, so A's and B's
    // conditions hold long before C's: they still return only after C.
    p.loop().post([&] {
        p.loop().post([&] {
            p.loop().post([&] {
                depths.push_back(p.loop().waitDepth());
                p.loop().waitUntil([&] { return flagC; });
                returned.push_back("C");
            });
            depths.push_back(p.loop().waitDepth());
            p.loop().waitUntil([&] { return flagB; });
            returned.push_back("B");
        });
        depths.push_back(p.loop().waitDepth());
        p.loop().waitUntil([&] { return flagA; });
        returned.push_back("A");
    });

    auto setter = p.makeTimer();
    int ticks = 0;
    setter->setInterval(30);
    setter->onTick = [&] {
        ++ticks;
        if (ticks == 1) flagA = true;
        if (ticks == 2) flagB = true;
        if (ticks == 3) {
            flagC = true;
            lastFlagSet = SteadyClock::now();
            setter->setEnabled(false);
        }
    };
    setter->setEnabled(true);

    ASSERT_TRUE(waitFor(p, [&] { return returned.size() == 3; }, 10000, 2000));
    EXPECT_EQ(returned, (std::vector<std::string>{"C", "B", "A"}));
    // The test's own wait is depth 1; A, B and C each add one.
    EXPECT_EQ(depths, (std::vector<int>{1, 2, 3}));
    // Once the innermost condition held, all three unwound promptly.
    EXPECT_LT(msSince(lastFlagSet), 1000.0);
    EXPECT_EQ(p.loop().waitDepth(), 0);
}

TEST(QtLoop, EnclosingWaitRetestsPromptlyAfterNestedHandlerEnds) {
    QtPlatform p;
    bool inner = false, handlerDone = false;
    SteadyClock::time_point doneAt{};
    p.loop().post([&] {
        p.loop().waitUntil([&] { return inner; });
        handlerDone = true;
        doneAt = SteadyClock::now();
    });
    auto t = p.makeTimer();
    t->setInterval(50);
    t->onTick = [&] {
        inner = true;
        t->setEnabled(false);
    };
    t->setEnabled(true);
    // No other event comes after the handler ends: the wait must notice by
    // itself that its condition now holds (the deadline's check comes only
    // after 2 s).
    ASSERT_TRUE(waitFor(p, [&] { return handlerDone; }, 2000, 2000));
    EXPECT_LT(msSince(doneAt), 500.0);
}

TEST(QtLoop, EndProgramFlushesTheStandardStreamsAndExitsWithTheStatus) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            QtPlatform p;
            // Fully buffered: the text reaches the pipe only if flushed.
            static char buffer[4096];
            std::setvbuf(stderr, buffer, _IOFBF, sizeof buffer);
            std::fputs("last words", stderr);
            p.loop().endProgram(3);
        },
        ::testing::ExitedWithCode(3), "last words");
}

// ---- Timers

TEST(QtTimer, NeverReentersItsHandlerWhileTheHandlerWaits) {
    QtPlatform p;
    auto t = p.makeTimer();
    int active = 0, maxActive = 0, entries = 0;
    bool released = false;
    t->setInterval(5);
    t->onTick = [&] {
        ++entries;
        ++active;
        maxActive = std::max(maxActive, active);
        if (entries == 1) waitFor(p, [&] { return released; }, 5000);
        --active;
    };
    auto releaser = p.makeTimer();
    releaser->setInterval(150);
    releaser->onTick = [&] {
        released = true;
        releaser->setEnabled(false);
    };
    t->setEnabled(true);
    releaser->setEnabled(true);
    ASSERT_TRUE(waitFor(p, [&] { return released && entries >= 3; }, 5000));
    EXPECT_EQ(maxActive, 1);
    t->setEnabled(false);
}

TEST(QtTimer, EnableDisableAndIntervalZero) {
    QtPlatform p;
    auto t = p.makeTimer();
    int ticks = 0;
    t->onTick = [&] { ++ticks; };
    EXPECT_FALSE(t->enabled());
    t->setInterval(10);
    EXPECT_EQ(t->interval(), 10);
    runFor(p, 60);
    EXPECT_EQ(ticks, 0) << "a disabled timer ticked";

    t->setEnabled(true);
    ASSERT_TRUE(waitFor(p, [&] { return ticks >= 3; }, 3000));
    t->setEnabled(false);
    EXPECT_FALSE(t->enabled());
    int frozen = ticks;
    runFor(p, 80);
    EXPECT_EQ(ticks, frozen) << "ticked after being disabled";

    t->setInterval(0);
    t->setEnabled(true);
    runFor(p, 80);
    EXPECT_EQ(ticks, frozen) << "an interval of 0 ticked";
    t->setEnabled(false);
}

TEST(QtTimer, ReEnablingKeepsTheCountButANewIntervalRestartsIt) {
    QtPlatform p;
    auto t = p.makeTimer();
    double firstTickMs = -1;
    auto t0 = SteadyClock::now();
    t->onTick = [&] {
        if (firstTickMs < 0) firstTickMs = msSince(t0);
    };
    auto poke = p.makeTimer();

    // Enabling an enabled timer changes nothing: first tick near 400 ms.
    t->setInterval(400);
    t0 = SteadyClock::now();
    t->setEnabled(true);
    poke->setInterval(200);
    poke->onTick = [&] {
        t->setEnabled(true);
        poke->setEnabled(false);
    };
    poke->setEnabled(true);
    ASSERT_TRUE(waitFor(p, [&] { return firstTickMs >= 0; }, 5000));
    EXPECT_GE(firstTickMs, 395.0);
    EXPECT_LT(firstTickMs, 560.0) << "re-enabling restarted the count";
    t->setEnabled(false);

    // Setting the interval of an enabled timer restarts: near 600 ms.
    firstTickMs = -1;
    t0 = SteadyClock::now();
    t->setEnabled(true);
    poke->onTick = [&] {
        t->setInterval(400);
        poke->setEnabled(false);
    };
    poke->setEnabled(true);
    ASSERT_TRUE(waitFor(p, [&] { return firstTickMs >= 0; }, 5000));
    EXPECT_GE(firstTickMs, 590.0) << "a new interval did not restart the count";
    t->setEnabled(false);
}

// ---- Time scale and clock

TEST(QtTimeScale, TimersRunFasterAndClockAdvancesFaster) {
    QtPlatform p(100.0);
    EXPECT_DOUBLE_EQ(p.timeScale(), 100.0);
    auto t = p.makeTimer();
    int ticks = 0;
    t->setInterval(1000);  // 10 ms of real time at scale 100
    t->onTick = [&] { ++ticks; };

    const LocalTime before = p.clock().now();
    const auto t0 = SteadyClock::now();
    t->setEnabled(true);
    runFor(p, 500);
    const int ticksSeen = ticks;
    const LocalTime after = p.clock().now();
    const double realMs = msSince(t0);
    t->setEnabled(false);

    // About 50 ticks in 500 ms; a loaded machine may drop a few.
    EXPECT_GE(ticksSeen, 25);
    EXPECT_LE(ticksSeen, 60);
    // The clock advanced about 100 times the real time.
    const double expectedSeconds = realMs / 1000.0 * 100.0;
    const double advanced = static_cast<double>(epochOf(after) - epochOf(before));
    EXPECT_NEAR(advanced, expectedSeconds, 3.0);
}

TEST(QtClock, ReadsTheSystemLocalTime) {
    QtPlatform p;
    const LocalTime t = p.clock().now();
    std::time_t secs = std::time(nullptr);
    std::tm tm{};
    localtime_r(&secs, &tm);
    const std::int64_t sys = epochSecondsFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                                   tm.tm_min, tm.tm_sec);
    EXPECT_LE(std::abs(epochOf(t) - sys), 2);
    EXPECT_GE(t.month, 1);
    EXPECT_LE(t.month, 12);
    // The weekday agrees with the date (0 = Sunday).
    EXPECT_EQ(t.weekday, civilFromEpochSeconds(epochOf(t)).weekday);
}

TEST(QtTimeScale, ReadFromTheEnvironment) {
    const char* saved = std::getenv("CORVANTEL_TIME_SCALE");
    std::string keep = saved ? saved : "";
    unsetenv("CORVANTEL_TIME_SCALE");
    EXPECT_DOUBLE_EQ(QtPlatform::timeScaleFromEnvironment(), 1.0);
    setenv("CORVANTEL_TIME_SCALE", "60", 1);
    EXPECT_DOUBLE_EQ(QtPlatform::timeScaleFromEnvironment(), 60.0);
    setenv("CORVANTEL_TIME_SCALE", "2.5", 1);
    EXPECT_DOUBLE_EQ(QtPlatform::timeScaleFromEnvironment(), 2.5);
    setenv("CORVANTEL_TIME_SCALE", "0.5", 1);
    EXPECT_DOUBLE_EQ(QtPlatform::timeScaleFromEnvironment(), 1.0);
    setenv("CORVANTEL_TIME_SCALE", "fast", 1);
    EXPECT_DOUBLE_EQ(QtPlatform::timeScaleFromEnvironment(), 1.0);
    setenv("CORVANTEL_TIME_SCALE", "10x", 1);
    EXPECT_DOUBLE_EQ(QtPlatform::timeScaleFromEnvironment(), 1.0);
    if (saved)
        setenv("CORVANTEL_TIME_SCALE", keep.c_str(), 1);
    else
        unsetenv("CORVANTEL_TIME_SCALE");
}

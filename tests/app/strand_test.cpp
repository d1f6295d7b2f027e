// The strand: a connection's steps and their waits on the fake loop.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "app/strand.h"
#include "platform/fake/fake_platform.h"

namespace corvantel {
namespace {

struct StrandTest : ::testing::Test {
    StrandTest() {
        plat.setAfterEvent([this] { strand.poll(); });
    }
    ~StrandTest() override { plat.setAfterEvent(nullptr); }
    platform::fake::FakePlatform plat;
    Strand strand{plat};
    std::string log;
};

Task<> waitFor(Strand& s, bool& flag, std::string& log, std::string name) {
    log += name + "<";
    co_await s.until([&flag] { return flag; });
    log += name + ">";
}

TEST_F(StrandTest, InnermostWaitGoesOnFirstAndOthersStrandsAreNotHeld) {
    bool a = false, b = false;
    strand.spawn(waitFor(strand, a, log, "a"));
    strand.spawn(waitFor(strand, b, log, "b"));
    // a's condition holds first, but b began inside it: b ends, then a.
    plat.post([&] { a = true; });
    plat.runFor(10);
    EXPECT_EQ(log, "a<b<");
    plat.post([&] { b = true; });
    plat.runFor(10);
    EXPECT_EQ(log, "a<b<b>a>");
    EXPECT_FALSE(strand.busy());

    // Another connection's strand is never held by this one's wait.
    Strand other{plat};
    bool c = false, d = false;
    strand.spawn(waitFor(strand, c, log, "c"));
    other.spawn(waitFor(other, d, log, "d"));
    d = true;
    EXPECT_TRUE(other.poll());
    EXPECT_EQ(log.substr(log.size() - 4), "d<d>");
    c = true;
    plat.post([] {});
    plat.runFor(10);
    EXPECT_FALSE(strand.busy());
}

TEST_F(StrandTest, StepsBegunInATurnEndBeforeTheTurnerGoesOn) {
    bool inner = false;
    strand.spawn([](StrandTest& t, bool& inner) -> Task<> {
        t.plat.post([&t, &inner] { t.strand.spawn(waitFor(t.strand, inner, t.log, "i")); });
        t.log += "turn<";
        co_await t.strand.turn();
        t.log += "turn>";
    }(*this, inner));
    EXPECT_EQ(log, "turn<i<");
    inner = true;
    plat.post([] {});
    plat.runFor(10);
    EXPECT_EQ(log, "turn<i<i>turn>");
}

TEST_F(StrandTest, ExceptionReachesWhoeverResumedTheStep) {
    bool go = false;
    strand.spawn([](Strand& s, bool& go) -> Task<> {
        co_await s.until([&go] { return go; });
        throw std::runtime_error("boom");
    }(strand, go));
    go = true;
    EXPECT_THROW(strand.poll(), std::runtime_error);
    EXPECT_FALSE(strand.busy());
}

}  // namespace
}  // namespace corvantel

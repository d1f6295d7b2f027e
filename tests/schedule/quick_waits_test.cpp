// Quick waits: each wait ends early only once what it waits for has
// provably happened; without the option every wait keeps its length.

#include <gtest/gtest.h>

#include "support/session_fixture.h"

namespace corvantel::testing {
namespace {

class QuickWaits : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        dir.write("x.txt", "x");
        dir.write("y.txt", std::string(5000, 'y'));
    }
};

TEST_F(QuickWaits, OffEveryWaitKeepsItsLength) {
    w().ai_list.userChoose();
    // Start pause 9 s, listing 5 s, 9 s per matching entry (2), 9 s after
    // each file (2) and at the end of the files: at least 50 s.
    EXPECT_GE(download(), 50'000);
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
    EXPECT_GE(upload(), 14'000);  // start pause and listing
    EXPECT_EQ(server.stored["y.txt"], dir.read("y.txt"));
}

TEST_F(QuickWaits, OnEveryWaitEndsOnceProven) {
    w().ai_quick.userChoose();
    ASSERT_TRUE(s().quickWaits);
    w().ai_list.userChoose();
    EXPECT_LT(download(), 1'000);
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
    EXPECT_LT(upload(), 1'000);
    EXPECT_EQ(server.stored["y.txt"], dir.read("y.txt"));
    // The same commands in the same order as without the option.
    EXPECT_EQ(s().failedFiles, 0);
}

// A file whose data stops short of its announced size still waits its 9
// quiet seconds, and fails; a data connection still open keeps the wait
// going however complete the transfer's reply says it is, and a file whose
// data connection never ended is not proven.
TEST_F(QuickWaits, WaitsGoOnWhileNothingIsProven) {
    w().ai_quick.userChoose();
    server.override = server.retrAs("a.jpg", {"150 Opening data connection for a.jpg (3000 bytes).",
                                              std::string(2000, 'a'), false, "226 Transfer complete.", {}});
    EXPECT_GE(download(), 9'000);
    EXPECT_FALSE(dir.exists("a.jpg"));
    EXPECT_EQ(s().failedFiles, 1);

    std::shared_ptr<platform::fake::Peer> open;
    server.files["c.jpg"] = "c";
    server.override = [&](const std::string& line) -> std::string {
        if (line != "RETR c.jpg") return "";
        open = plat.connectTo(server.dataPort());
        server.control->send("125 Data connection already open.\r\n");
        open->send("c");
        server.control->send("226 Transfer complete.\r\n");
        return "-";
    };
    EXPECT_GE(download(), 9'000);
    EXPECT_FALSE(dir.exists("c.jpg"));
    EXPECT_EQ(s().failedFiles, 2);
}

}  // namespace
}  // namespace corvantel::testing

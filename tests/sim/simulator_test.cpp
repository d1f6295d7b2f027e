// The simulator in the test command: a fixed set of seeds, and the rows of
// scenarios it once found broken, each replayed as it was shrunk.

#include <gtest/gtest.h>

#include <cstdlib>

#include "sim/simulator.h"

namespace corvantel::sim {
namespace {

// Scenarios that once broke an invariant, shrunk by the simulator.
const Scenario regressions[] = {
    // A listing the program filters itself is matched with the real pattern.
    {.seed = 1, .nlst = false, .deleteAfter = true, .listsEverything = true,
     .files = {{"a.jpg", 100}, {"a.jpg.part", 100}, {"notes_jpg.txt", 100}, {".hidden.jpg", 10}}},
    {.seed = 1, .listsEverything = true, .pattern = "?.jpg", .files = {{"a.jpg", 100}, {"ab.jpg", 100}, {"b.JPG", 1}}},
    // No size told, the 226, then the control connection reset while the
    // data is still arriving: the half file never passes.
    {.seed = 2, .retries = 1, .files = {{"a.jpg", 3000}, {"b.jpg", 10}},
     .actions = {{"RETR", 1, Fault::SizeUntold, 0}, {"RETR", 1, Fault::DataAfter, 0}, {"RETR", 1, Fault::Trickle, 400},
                 {"RETR", 1, Fault::ResetAfter, 0}}},
    {.seed = 2, .retries = 1, .files = {{"a.jpg", 3000}, {"b.jpg", 10}},
     .actions = {{"RETR", 1, Fault::SizeUntold, 0}, {"RETR", 1, Fault::DataAfter, 0}, {"RETR", 1, Fault::Trickle, 400},
                 {"RETR", 1, Fault::ResetAfter, 100}}},
    // A server restarting mid-transfer (FIN, no final reply) is a lost
    // connection like a reset: the retries fetch the rest.
    {.seed = 3, .retries = 2, .files = {{"a.jpg", 300}, {"b.jpg", 300}, {"c.jpg", 300}},
     .actions = {{"RETR", 1, Fault::NoFinal, 0}, {"RETR", 1, Fault::CloseAfter, 0}}},
    {.seed = 3, .upload = true, .retries = 1, .files = {{"a.txt", 3000}, {"b.txt", 300}},
     .actions = {{"STOR", 1, Fault::CloseBefore, 0}}},
    // A negative final reply to a listing ends the listing.
    {.seed = 4, .files = {{"a.jpg", 100}}, .actions = {{"NLST", 1, Fault::Refuse, 2}}},
    {.seed = 4, .files = {{"a.jpg", 100}}, .actions = {{"NLST", 1, Fault::Refuse, 3}, {"NLST", 2, Fault::Refuse, 3}}},
    {.seed = 4, .upload = true, .nlst = false, .files = {{"a.txt", 100}}, .actions = {{"LIST", 1, Fault::Refuse, 2}}},
    // PWD refused.
    {.seed = 34, .files = {{"b.jpg", 100}}, .actions = {{"PWD", 1, Fault::Refuse, 1}}},
    // A server that handles nothing after PASV until its data connection
    // comes: no data connection is asked for that nothing uses.
    {.seed = 5, .passive = true, .blockAfterPassive = true, .files = {{"a.jpg", 100}, {"b.jpg", 0}}},
    {.seed = 5, .upload = true, .passive = true, .epsvRefused = true, .blockAfterPassive = true,
     .files = {{"a.txt", 100}, {"b.txt", 0}}},
    // A server that connects to every PORT address at once costs quick
    // waits nothing.
    {.seed = 6, .quick = true, .connectAtPort = true, .files = {{"a.jpg", 100}, {"b.jpg", 100}}},
    {.seed = 167, .upload = true, .passive = true, .quick = true, .files = {{"my photo 2.txt", 100}}},
    // A repeated greeting answers no command.
    {.seed = 98, .repeatGreeting = true, .files = {{"a.jpg", 100}}},
    // A file taken over for a retry that never comes to it still gets its
    // one line.
    {.seed = 190, .nlst = false, .passive = true, .quick = true, .retries = 2, .files = {{"c.jpg", 100}, {"a3.jpg", 100}},
     .actions = {{"PWD", 2, Fault::ResetBefore, 4}, {"RETR", 2, Fault::DataReset, 26}}},
    {.seed = 564, .upload = true, .passive = true, .quick = true, .retries = 1, .files = {{"e.txt", 100}},
     .actions = {{"STOR", 1, Fault::CloseBefore, 7}, {"REST", 2, Fault::Silent, 3}}},
};

TEST(Simulator, RegressionRowsHold) {
    const char* only = std::getenv("SIM_ROW");
    for (const auto& sc : regressions) {
        if (only && std::to_string(&sc - regressions) != only) continue;
        const auto broken = check(sc, std::getenv("SIM_TRACE") != nullptr);
        std::string all;
        for (auto& b : broken) all += "\n  " + b;
        EXPECT_TRUE(broken.empty()) << row(sc) << all;
    }
}

TEST(Simulator, FixedSeedsHold) {
    EXPECT_EQ(runSeeds(1, 300, false), 0);
}

}  // namespace
}  // namespace corvantel::sim

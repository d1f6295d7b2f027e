// Every saved fuzz input (the seeds and each input that once found a fault)
// runs through its target again on every test run.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "targets.h"

namespace {

namespace fs = std::filesystem;

TEST(FuzzInputs, EverySavedInputRunsCleanly) {
    int replayed = 0;
    for (const char* kind : {"seeds", "regressions"}) {
        const fs::path base = fs::path(FUZZ_INPUTS_DIR) / kind;
        if (!fs::exists(base)) continue;
        for (auto& target : fs::directory_iterator(base)) {
            for (auto& input : fs::directory_iterator(target.path())) {
                std::ifstream in(input.path(), std::ios::binary);
                std::stringstream ss;
                ss << in.rdbuf();
                const std::string bytes = ss.str();
                SCOPED_TRACE(input.path().string());
                EXPECT_TRUE(corvantel::fuzz::run(target.path().filename().string(),
                                                 reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
                ++replayed;
            }
        }
    }
    EXPECT_GT(replayed, 0);
}

}  // namespace

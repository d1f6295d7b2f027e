// Fixture for the download job's end-to-end tests: a server directory
// holding a.jpg (300000 random bytes), b.jpg (200000) and c.txt.
#pragma once

#include "harness.h"

namespace corvantel::itest {

class DownloadTest : public IntegrationTest {
protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        a_ = randomBytes(300000, 1);
        b_ = randomBytes(200000, 2);
        writeFile(remote_ / "a.jpg", a_);
        writeFile(remote_ / "b.jpg", b_);
        writeFile(remote_ / "c.txt", "not a picture\r\n");
    }

    // One download session, run now, then the program ends.
    ProcessResult download(const std::string& pattern, const std::vector<std::string>& extra = {},
                           const std::string& dir = "/") {
        return runCorvantel(concat(concat(downloadOptions(pattern, dir), extra), {"--run-now", "download", "--once"}));
    }
    std::vector<std::string> intoWork() const { return {"--work-path", work_.string()}; }

    // The local file holds exactly the remote content.
    void expectFetched(const fs::path& local, const std::string& content) {
        ASSERT_TRUE(fileExists(local)) << local << " was not fetched";
        const std::string got = readFile(local);
        EXPECT_EQ(got.size(), content.size()) << local;
        EXPECT_TRUE(got == content) << local << " differs from the remote file";
    }

    std::vector<ZoneLine> sizeLog() const { return readZoneLog(run_ / "dl_file_size.log"); }

    std::string a_, b_;
};

}  // namespace corvantel::itest

// The upload job over SFTP on the fake platform: what is sent, how a pass
// is proven, and the temporary name.

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "schedule/schedule.h"
#include "support/app_fixture.h"

namespace corvantel::testing {
namespace {

using platform::SftpReply;
using platform::SftpStatus;
using platform::fake::FakeSftpServer;

class SftpUpload : public AppTest {
protected:
    void SetUp() override {
        dir.write("x.txt", "");
        dir.write("y.txt", std::string(5000, 'y'));
        dir.write("z.txt", std::string(600'000, 'z'));
        dir.write("w.jpg", "picture");
        server->user = "u";
        server->password = "p";
        plat.addSftpServer(22, server);
        start();
        fillJobs();
        w().Text6.setText("out");
        w().Text8.setText("*.txt");
        w().ai_usftp.userChoose();
        w().Check4.setChecked(false);
    }
    void run() { startUploadNow(app()); }
    std::string log() { return dir.read("fileupl.log"); }
    std::shared_ptr<FakeSftpServer> server = std::make_shared<FakeSftpServer>();
};

TEST_F(SftpUpload, StoresEachFileAndProvesItsSize) {
    run();
    for (const char* name : {"x.txt", "y.txt", "z.txt"}) {
        EXPECT_TRUE(server->files[std::string("out/") + name].bytes == dir.read(name)) << name;
        EXPECT_EQ(verdictOf(log(), name), "pass") << name;
    }
    EXPECT_FALSE(server->files.count("out/w.jpg"));
    EXPECT_EQ(s().failedFiles, 0);
}

// A file fails whenever the server's copy is not proven whole; under a
// temporary name the server's NAME keeps its older copy throughout.
TEST_F(SftpUpload, FailuresNeverTouchTheNameUnderATemporaryName) {
    w().ai_utemp.userChoose();
    w().Text12.setText("0");
    struct Row {
        std::string call;
        int after;
        std::function<void(SftpReply&)> change;
        bool posixRename = true;
    } rows[] = {
        {"write", 1, [](SftpReply& r) { r.status = SftpStatus::Failure; }},
        {"open-write", 0, [](SftpReply& r) { r.status = SftpStatus::PermissionDenied; }},
        {"close", 0, [](SftpReply& r) { r.status = SftpStatus::Failure; }},
        {"close", 0, [](SftpReply& r) { r.attributes.size -= 1; }},  // the server tells another size
        {"write", 1, [](SftpReply& r) { r.status = SftpStatus::Lost; }},
        {"rename", 0, [](SftpReply&) {}, false},  // no posix-rename: a plain rename onto NAME is refused
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.call + " " + std::to_string(row.after));
        std::remove(dir.file("fileupl.log").c_str());
        server->files.clear();
        server->files["out/z.txt"] = {"older copy"};
        server->posixRename = row.posixRename;
        server->fault = [&row, n = 0](const std::string& c, const std::string& p, SftpReply& r) mutable {
            if (c == row.call && p.rfind("out/z.txt", 0) == 0 && n++ >= row.after) row.change(r);
            return true;
        };
        run();
        EXPECT_EQ(verdictOf(log(), "z.txt"), "fail");
        EXPECT_TRUE(server->files["out/z.txt"].bytes == "older copy");
        // A copy the lost connection left goes at the next login.
        if (server->files.count("out/z.txt.part")) {
            server->fault = nullptr;
            w().Text8.setText("none");
            run();
            w().Text8.setText("*.txt");
        }
        EXPECT_EQ(server->files.count("out/z.txt.part"), 0u);
    }
    // And without faults the copy is replaced in one rename.
    server->fault = nullptr;
    server->posixRename = true;
    std::remove(dir.file("fileupl.log").c_str());
    run();
    EXPECT_TRUE(server->files["out/z.txt"].bytes == dir.read("z.txt"));
    EXPECT_EQ(verdictOf(log(), "z.txt"), "pass");
    EXPECT_NE(std::find(server->calls.begin(), server->calls.end(), "rename out/z.txt.part out/z.txt"),
              server->calls.end());
}

// With resume, a temporary copy cut by a lost connection is continued from
// the size the server holds, and only while the local file is unchanged.
TEST_F(SftpUpload, ACutTemporaryCopyIsResumed) {
    w().ai_utemp.userChoose();
    w().ai_resume.userChoose();
    w().Text12.setText("0");
    server->fault = [n = 0](const std::string& c, const std::string& p, SftpReply& r) mutable {
        if (c == "write" && p == "out/z.txt.part" && n++ == 1) r = SftpReply{SftpStatus::Lost};
        return true;
    };
    run();
    // (The second write reached the server; only its answer was lost.)
    ASSERT_EQ(server->files["out/z.txt.part"].bytes.size(), 512u * 1024);
    EXPECT_TRUE(dir.exists("upl_parts.log"));
    server->fault = nullptr;
    server->calls.clear();
    run();
    EXPECT_TRUE(server->files["out/z.txt"].bytes == dir.read("z.txt"));
    EXPECT_EQ(verdictOf(log(), "z.txt"), "pass");
    EXPECT_NE(std::find(server->calls.begin(), server->calls.end(), "open-write out/z.txt.part"), server->calls.end());
    EXPECT_EQ(std::count(server->calls.begin(), server->calls.end(), "write out/z.txt.part"), 1);  // the rest only
    EXPECT_FALSE(dir.exists("upl_parts.log"));
    EXPECT_FALSE(server->files.count("out/z.txt.part"));
}

}  // namespace
}  // namespace corvantel::testing

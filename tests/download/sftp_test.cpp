// The download job over SFTP on the fake platform: what is taken, the host
// key checked before any login, and what a pass proves.

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "schedule/schedule.h"
#include "support/app_fixture.h"

namespace corvantel::testing {
namespace {

using platform::SftpReply;
using platform::SftpStatus;
using platform::fake::FakeSftpServer;

class SftpDownload : public AppTest {
protected:
    void SetUp() override {
        server->files["in/a.jpg"] = {std::string(200'000, 'a')};
        server->files["in/b.jpg"] = {std::string(1200, 'b')};
        server->files["in/c.txt"] = {"text"};
        server->files["in/d.jpg"] = {"", 1'700'000'000, false};  // a folder
        server->password = "p";
        server->user = "u";
        plat.addSftpServer(22, server);
        start();
        fillJobs();
        w().Text2.setText("in");
        w().Text9.setText("21");
        w().ai_dsftp.userChoose();
    }
    void run() { startDownloadNow(app()); }
    std::string log() { return dir.read("dl_file_size.log"); }
    std::string errors() { return dir.exists("err_dload.log") ? dir.read("err_dload.log") : ""; }
    // Fails the given call on the given path (after "after" of them) with
    // status, or leaves it unanswered (Lost without a status: silence).
    void fault(const std::string& call, const std::string& path, int after, std::optional<SftpStatus> status) {
        server->fault = [=, n = 0](const std::string& c, const std::string& p, SftpReply& r) mutable {
            if (c != call || p != path || n++ < after) return true;
            if (!status) return false;
            r = SftpReply{*status};
            return true;
        };
    }
    std::shared_ptr<FakeSftpServer> server = std::make_shared<FakeSftpServer>();
};

TEST_F(SftpDownload, TakesTheRegularFilesThePatternTakes) {
    run();
    EXPECT_EQ(dir.read("a.jpg"), server->files["in/a.jpg"].bytes);
    EXPECT_EQ(dir.read("b.jpg"), server->files["in/b.jpg"].bytes);
    EXPECT_FALSE(dir.exists("c.txt"));
    EXPECT_FALSE(dir.exists("d.jpg"));
    EXPECT_EQ(verdictOf(log(), "a.jpg"), "pass");
    EXPECT_EQ(verdictOf(log(), "b.jpg"), "pass");
    EXPECT_EQ(server->lastLogin.port, 22);
    EXPECT_EQ(s().failedFiles, 0);
    // The dupe check holds them from then on.
    server->calls.clear();
    run();
    EXPECT_EQ(
        std::count_if(server->calls.begin(), server->calls.end(), [](auto& c) { return c.rfind("open-read", 0) == 0; }),
        0);
}

// The server's key is judged before any password or key is offered.
TEST_F(SftpDownload, HostKeyCheckedBeforeTheLogin) {
    struct Row {
        FakeSftpServer::Known known;
        std::string pin;
        bool acceptNew;
        bool passes;
        std::string line;
    } rows[] = {
        {FakeSftpServer::Known::No, "", false, false, "Host Key Unknown: 127.0.0.1 port 22 presented the key "},
        {FakeSftpServer::Known::No, server->fingerprint, false, true, ""},
        {FakeSftpServer::Known::No, "", true, true, ""},
        {FakeSftpServer::Known::Changed, "", true, false, "Host Key Changed: 127.0.0.1 port 22 presented the key "},
        {FakeSftpServer::Known::Changed, server->fingerprint, false, true, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line + row.pin + (row.acceptNew ? " accept-new" : ""));
        std::remove(dir.file("err_dload.log").c_str());
        server->known = row.known;
        server->authenticated = false;
        s().downloadSsh.hostKey = row.pin;
        s().acceptNewHostKeys = row.acceptNew;
        w().Check3.setChecked(false);
        run();
        EXPECT_EQ(server->authenticated, row.passes);
        EXPECT_EQ(verdictOf(log(), "b.jpg") == "pass", row.passes);
        if (!row.passes) {
            EXPECT_NE(errors().find(row.line + server->fingerprint), std::string::npos) << errors();
            // Only an unknown key is offered for pinning.
            EXPECT_EQ(errors().find("--download-host-key " + server->fingerprint) != std::string::npos,
                      row.known == FakeSftpServer::Known::No);
        }
        std::remove(dir.file("dl_file_size.log").c_str());
    }
}

TEST_F(SftpDownload, FailuresOnlySftpHasGetTheirOwnLines) {
    s().downloadSsh.keyFile = "/keys/id_ed25519";
    server->password = "other";
    run();
    EXPECT_NE(errors().find("Key Refused: 127.0.0.1 port 22 accepted neither the key /keys/id_ed25519"),
              std::string::npos)
        << errors();
    server->acceptedKey = "/keys/id_ed25519";
    server->subsystem = false;
    run();
    EXPECT_NE(errors().find("SFTP Unavailable: 127.0.0.1 port 22 let u in but offers no SFTP"), std::string::npos);
    server->subsystem = true;
    run();
    EXPECT_EQ(verdictOf(log(), "a.jpg"), "pass");
    // Unreachable servers are told as over FTP: a refused connection is a
    // timeout, a name that does not resolve an unknown host.
    std::remove(dir.file("err_dload.log").c_str());
    w().Text9.setText("2222");
    run();
    w().Text1.setText("nowhere.example");
    run();
    const std::string e = errors();
    const auto refused = e.find("Timeout Error"), unknown = e.find("Invalid IP/Host");
    EXPECT_TRUE(refused != std::string::npos && unknown != std::string::npos && refused < unknown &&
                e.rfind("Invalid IP/Host") == unknown)
        << e;
}

// Only a read the server ended, of exactly the listed size, passes; what
// failed leaves neither the file nor a partial copy.
TEST_F(SftpDownload, APassIsTheWholeListedFile) {
    struct Row {
        std::string call;
        int after;
        std::optional<SftpStatus> status;
    } rows[] = {
        {"read", 1, SftpStatus::Eof},      // ended short
        {"read", 1, SftpStatus::Failure},  // a read refused
        {"open-read", 0, SftpStatus::PermissionDenied},
        {"close", 0, SftpStatus::Lost},  // lost before the end was judged
        {"read", 2, SftpStatus::Lost},   // lost mid-file
        {"read", 1, std::nullopt},       // silent mid-file: the watchdog ends it
    };
    w().Check3.setChecked(false);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.call + " " + std::to_string(row.after));
        std::remove(dir.file("dl_file_size.log").c_str());
        std::remove(dir.file("a.jpg").c_str());
        fault(row.call, "in/a.jpg", row.after, row.status);
        run();
        EXPECT_FALSE(dir.exists("a.jpg"));
        EXPECT_EQ(verdictOf(log(), "a.jpg"), "fail");
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            EXPECT_EQ(e.path().filename().string().find(".corvantel-part"), std::string::npos) << e.path();
    }
    // A server that sends more than it listed: not the listed copy.
    server->fault = nullptr;
    server->files["in/a.jpg"].bytes += "more";
    server->fault = [](const std::string& c, const std::string&, SftpReply& r) {
        if (c == "list")
            for (auto& e : r.entries) e.size = e.name == "a.jpg" ? 200'000 : e.size;
        return true;
    };
    std::remove(dir.file("dl_file_size.log").c_str());
    run();
    EXPECT_FALSE(dir.exists("a.jpg"));
    EXPECT_EQ(verdictOf(log(), "a.jpg"), "fail");
}

TEST_F(SftpDownload, ResumeSettleVerifyAndDelete) {
    // A cut keeps the part; the next run reads only the rest.
    w().ai_resume.userChoose();
    fault("read", "in/a.jpg", 1, SftpStatus::Lost);
    w().Text11.setText("0");
    run();
    EXPECT_FALSE(dir.exists("a.jpg"));
    server->fault = nullptr;
    server->calls.clear();
    run();
    EXPECT_EQ(dir.read("a.jpg"), server->files["in/a.jpg"].bytes);
    EXPECT_EQ(verdictOf(log(), "a.jpg"), "pass");
    // Settled files only: a file modified within the interval is left.
    w().ai_settle.userChoose();
    w().ai_verify.userChoose();
    w().ai_del.userChoose();
    server->files["in/new.jpg"] = {"fresh", plat.clock().utcSeconds() - 5};
    server->files["in/old.jpg"] = {"older", plat.clock().utcSeconds() - 600};
    run();
    EXPECT_FALSE(dir.exists("new.jpg"));
    EXPECT_TRUE(server->files.count("in/new.jpg"));
    EXPECT_EQ(dir.read("old.jpg"), "older");
    // Deleted on the server once passed; verify asked its size and time.
    EXPECT_FALSE(server->files.count("in/old.jpg"));
    EXPECT_NE(std::find(server->calls.begin(), server->calls.end(), "stat in/old.jpg"), server->calls.end());
}

// Further connections take the transport the session began with: the
// option changed meanwhile counts from the next session.
TEST_F(SftpDownload, FurtherConnectionsKeepTheFirstOnesTransport) {
    for (int i = 0; i < 6; ++i) server->files["in/f" + std::to_string(i) + ".jpg"] = {std::string(70'000, 'f')};
    w().ai_parallel.userChoose();
    server->fault = [this, flipped = false](const std::string& c, const std::string&, SftpReply&) mutable {
        if (c == "connect" && !std::exchange(flipped, true)) w().ai_dsftp.userChoose();
        return true;
    };
    run();
    EXPECT_FALSE(s().downloadSftp);
    EXPECT_EQ(server->mostOpen, s().parallelConnections);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(verdictOf(log(), "f" + std::to_string(i) + ".jpg"), "pass") << i;
}

// A file the lost session started is owed a verdict by its retry; the retry
// finding it changed leaves it for a later run, with no verdict now.
TEST_F(SftpDownload, AFileTheRetryLeavesOwesNoVerdict) {
    w().ai_settle.userChoose();
    w().Text11.setText("1");
    int reads = 0, stats = 0;
    server->fault = [&](const std::string& c, const std::string& p, SftpReply& r) {
        if (p != "in/a.jpg") return true;
        if (c == "read" && ++reads == 2) r = SftpReply{SftpStatus::Lost};
        if (c == "stat" && ++stats == 1) r.attributes.mtime += 60;
        return true;
    };
    run();
    EXPECT_EQ(stats, 1);
    EXPECT_EQ(verdictOf(log(), "a.jpg"), "");
    EXPECT_EQ(verdictOf(log(), "b.jpg"), "pass");
    EXPECT_FALSE(dir.exists("a.jpg"));
    run();
    EXPECT_EQ(verdictOf(log(), "a.jpg"), "pass");
}

// More connections take from the one listing, each file once; the server's
// limit holds the rest back, and a lost connection's file goes to another.
TEST_F(SftpDownload, MoreConnectionsShareTheListing) {
    for (int i = 0; i < 12; ++i) server->files["in/f" + std::to_string(i) + ".jpg"] = {std::string(70'000, 'f')};
    server->limit = 3;
    w().ai_parallel.userChoose();
    // (Whichever connection loses its file: the first one's loss ends the
    // session, and its retry takes the file again.)
    w().Text11.setText("1");
    int lost = 0;
    server->fault = [&lost](const std::string& c, const std::string& p, SftpReply& r) {
        if (c == "read" && p == "in/f7.jpg" && lost++ == 0) r = SftpReply{SftpStatus::Lost};
        return true;
    };
    run();
    EXPECT_EQ(server->mostOpen, 3);
    for (int i = 0; i < 12; ++i) {
        const std::string name = "f" + std::to_string(i) + ".jpg";
        EXPECT_EQ(verdictOf(log(), name), "pass") << name;
        EXPECT_EQ(std::count(server->calls.begin(), server->calls.end(), "open-read in/" + name),
                  name == "f7.jpg" ? 2 : 1)
            << name;
    }
    EXPECT_EQ(s().failedFiles, 0);
}

}  // namespace
}  // namespace corvantel::testing

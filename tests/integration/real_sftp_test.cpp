// Both jobs over SFTP against Debian's OpenSSH server (sshd with
// internal-sftp) on 127.0.0.1: each login, the host key pinned or on file,
// an unknown or changed key refused before any login, the options that
// change the road, and a stop that never waits on a silent server.

#include <signal.h>
#include <sys/stat.h>

#include <iostream>
#include <map>
#include <thread>

#include "harness.h"
#include "sshd/real_sshd.h"

namespace corvantel::itest {
namespace {

using sshtest::KeyType;
using sshtest::RealSshd;
using Files = std::map<std::string, std::string>;

class RealServerSftp : public IntegrationTest {
protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        ::chmod(base_.c_str(), 0755);
        ASSERT_TRUE(RealSshd::installed());
        ASSERT_TRUE(sshd_.start(base_ / "sshd", remote_));
        sshd_.writeKnownHosts(base_ / "known_hosts");
    }
    void TearDown() override {
        if (HasFailure()) std::cerr << "---- sshd's log ----\n" << sshd_.logs();
        sshd_.stop();
        IntegrationTest::TearDown();
    }

    // One run of job over SFTP between work/ and the login folder, with the
    // known-hosts file of the run unless extra says otherwise.
    ProcessResult session(const std::string& job, std::vector<std::string> extra = {},
                          const std::string& password = RealSshd::password(),
                          const std::vector<std::pair<std::string, std::string>>& env = {}) {
        auto args = jobOptions(job, sshd_.port(), RealSshd::user(), password, "*.jpg", ".");
        args = concat(args, {"--" + job + "-sftp", "--work-path", work_.string()});
        if (std::find(extra.begin(), extra.end(), "--known-hosts") == extra.end())
            extra = concat(extra, {"--known-hosts", (base_ / "known_hosts").string()});
        return runCorvantel(concat(concat(args, extra), {"--run-now", job, "--once"}), 120s, env);
    }
    std::string errors(const std::string& job) {
        const fs::path p = run_ / (job == "download" ? "err_dload.log" : "err_upload.log");
        return fileExists(p) ? readFile(p) : std::string();
    }
    // Authentications sshd logged so far, accepted or failed.
    int logins() const {
        const std::string log = sshd_.logs();
        int n = 0;
        for (const char* what : {"Accepted ", "Failed "})
            for (auto at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
        return n;
    }
    static void expectExactly(const fs::path& dir, const Files& files) {
        std::vector<std::string> names;
        for (auto& [name, content] : files) {
            names.push_back(name);
            EXPECT_TRUE(readFile(dir / name) == content) << name << " differs or is missing";
        }
        EXPECT_EQ(fileNames(dir), names);
    }

    RealSshd sshd_;
};

// Each login, with the server's key on file or pinned: the download takes
// the regular files the pattern takes, the upload (temporary name, verify,
// two connections) leaves exactly the files on the server.
TEST_F(RealServerSftp, EveryLoginBothJobs) {
    const Files remote = {{"big.jpg", randomBytes(3'000'017, 1)}, {"small.jpg", randomBytes(7, 2)}, {"empty.jpg", ""}};
    for (auto& [name, content] : remote) writeFile(remote_ / name, content);
    writeFile(remote_ / "notes.txt", "not taken");
    fs::create_directory(remote_ / "folder.jpg");
    RealSshd::handOver(remote_);
    writeFile(base_ / "passphrase", "open sesame\n");
    ::chmod((base_ / "passphrase").c_str(), 0600);
    struct Row {
        std::string what;
        std::vector<std::string> options;
        bool pinned;
    } rows[] = {
        {"password", {}, false},
        {"ed25519 key", {"--KEY", sshd_.clientKey(KeyType::Ed25519).string()}, true},
        {"ecdsa key", {"--KEY", sshd_.clientKey(KeyType::Ecdsa).string()}, false},
        {"rsa key", {"--KEY", sshd_.clientKey(KeyType::Rsa).string()}, true},
        {"ed25519 key with a passphrase",
         {"--KEY", sshd_.clientKey(KeyType::Ed25519, "open sesame").string(), "--KEY-passphrase-file",
          (base_ / "passphrase").string()},
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        for (const std::string job : {"download", "upload"}) {
            std::vector<std::string> options;
            for (auto o : row.options)
                options.push_back(o.rfind("--KEY", 0) == 0 ? "--" + job + "-key" + o.substr(5) : o);
            if (row.pinned)
                options = concat(options, {"--known-hosts", (base_ / "none").string(), "--" + job + "-host-key",
                                           sshd_.hostFingerprint()});
            if (job == "upload") options = concat(options, {"--upload-temp-name", "--verify", "--parallel", "2"});
            // A key login must not fall back on the password.
            const auto r = session(job, concat(options, {"--" + job + "-dupe-check", "off"}),
                                   row.options.empty() ? RealSshd::password() : "wrong");
            EXPECT_EQ(r.exitCode, 0) << r.describe() << errors(job);
        }
        expectExactly(work_, remote);
        Files onServer = remote;
        onServer["notes.txt"] = "not taken";
        expectExactly(remote_, onServer);
        for (auto& [name, content] : remote) fs::remove(work_ / name);
    }
}

// The server's key is judged before any login: unknown or changed, the
// session fails with its own line and sshd sees no authentication at all.
TEST_F(RealServerSftp, UnknownAndChangedKeysAreRefusedBeforeTheLogin) {
    writeFile(remote_ / "a.jpg", "picture");
    RealSshd::handOver(remote_);
    const std::string fingerprint = sshd_.hostFingerprint();
    auto r = session("download", {"--known-hosts", (base_ / "none").string()});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_NE(errors("download")
                  .find("Host Key Unknown: 127.0.0.1 port " + std::to_string(sshd_.port()) + " presented the key " +
                        fingerprint),
              std::string::npos)
        << errors("download");
    EXPECT_NE(errors("download").find("--download-host-key " + fingerprint), std::string::npos);
    EXPECT_FALSE(fileExists(work_ / "a.jpg"));
    EXPECT_EQ(logins(), 0);
    // accept-new: taken and written down; the next run needs no option.
    const fs::path fresh = base_ / "fresh_known_hosts";
    r = session("download", {"--known-hosts", fresh.string(), "--accept-new-host-key"});
    EXPECT_EQ(r.exitCode, 0) << r.describe() << errors("download");
    EXPECT_NE(readFile(fresh).find("[127.0.0.1]:" + std::to_string(sshd_.port())), std::string::npos);
    fs::remove(work_ / "a.jpg");
    r = session("download", {"--known-hosts", fresh.string(), "--download-dupe-check", "off"});
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    // A new key: refused from the file, with or without accept-new; a pin of
    // the new key takes it.
    ASSERT_TRUE(sshd_.restartWithNewHostKey());
    const std::string before = errors("download");
    const int loginsBefore = logins();
    for (const auto& extra : {std::vector<std::string>{}, std::vector<std::string>{"--accept-new-host-key"}}) {
        r = session("download", concat({"--known-hosts", fresh.string(), "--download-dupe-check", "off"}, extra));
        EXPECT_EQ(r.exitCode, 1) << r.describe();
    }
    EXPECT_NE(errors("download").find("Host Key Changed: 127.0.0.1 port", before.size()), std::string::npos);
    EXPECT_EQ(logins(), loginsBefore);
    r = session("download", {"--known-hosts", fresh.string(), "--download-dupe-check", "off", "--download-host-key",
                             sshd_.hostFingerprint()});
    EXPECT_EQ(r.exitCode, 0) << r.describe();
}

// Verify, delete after download, and a resumed upload under a temporary name.
TEST_F(RealServerSftp, VerifyDeleteAndResume) {
    const Files files = {{"one.jpg", randomBytes(400'000, 3)}, {"two.jpg", randomBytes(5'000, 4)}};
    for (auto& [name, content] : files) writeFile(remote_ / name, content);
    RealSshd::handOver(remote_);
    auto r = session("download", {"--verify", "--delete-after-download", "--parallel", "2"});
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    expectExactly(work_, files);
    expectExactly(remote_, {});
    // A cut copy of one.jpg recorded against the local file as it stands.
    writeFile(remote_ / "one.jpg.part", files.at("one.jpg").substr(0, 150'000));
    RealSshd::handOver(remote_);
    struct stat st {};
    ASSERT_EQ(::stat((work_ / "one.jpg").c_str(), &st), 0);
    writeFile(run_ / "upl_parts.log",
              "400000\t" + std::to_string(std::int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec) +
                  "\tS\t./one.jpg.part\r\n");
    r = session("upload", {"--upload-temp-name", "--resume", "--verify"}, RealSshd::password(),
                {{"CORVANTEL_TRACE", "1"}});
    EXPECT_EQ(r.exitCode, 0) << r.describe();
    expectExactly(remote_, files);
    EXPECT_FALSE(fileExists(run_ / "upl_parts.log"));
}

// A stop (SIGTERM) while the server is frozen mid-session ends the program
// at once: no SSH call is waited on.
TEST_F(RealServerSftp, StopNeverWaitsOnAFrozenServer) {
    writeFile(remote_ / "big.jpg", randomBytes(30'000'000, 5));
    RealSshd::handOver(remote_);
    auto args = concat(jobOptions("download", sshd_.port(), RealSshd::user(), RealSshd::password(), "*.jpg", "."),
                       {"--download-sftp", "--known-hosts", (base_ / "known_hosts").string(), "--work-path",
                        work_.string(), "--run-now", "download", "--once"});
    const pid_t pid = spawnSessionLeader(concat({CORVANTEL_BINARY, "--headless"}, args), run_, base_ / "stop.log");
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 500; ++i) {
        bool partial = false;
        for (auto& e : fs::directory_iterator(work_))
            partial = partial || e.path().string().find("corvantel-part") != std::string::npos;
        if (partial) break;
        std::this_thread::sleep_for(10ms);
    }
    sshd_.pause();
    std::this_thread::sleep_for(300ms);
    const auto t0 = std::chrono::steady_clock::now();
    ::kill(pid, SIGTERM);
    const bool ended = waitForExit(pid, 5s);
    sshd_.resume();
    ASSERT_TRUE(ended) << readFile(base_ / "stop.log");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    EXPECT_FALSE(fileExists(work_ / "big.jpg"));
}

}  // namespace
}  // namespace corvantel::itest

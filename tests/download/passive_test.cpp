// Passive mode, IPv6 and active mode behind NAT, for both jobs, on the
// scripted server: the same sessions with the data connection set up the
// other way, and the ways that setup can fail.

#include <gtest/gtest.h>

#include "download/records.h"
#include "support/session_fixture.h"
#include "upload/transfer_log.h"

namespace corvantel::testing {
namespace {

class DataSetupBase : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        dir.write("y.txt", std::string(5000, 'y'));
    }
    void passive() { w().ai_pasv.userChoose(); }
    void host(const std::string& h) {
        w().Text1.setText(h);
        w().Text3.setText(h);
    }
    void expectBothJobsWork() {
        download();
        EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
        EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
        upload();
        EXPECT_EQ(server.stored["y.txt"], dir.read("y.txt"));
        EXPECT_EQ(s().failedFiles, 0);
        EXPECT_EQ(s().failedSessions, 0);
    }
};
using DataSetup = DataSetupBase;

TEST_F(DataSetup, PassiveModeOpensEveryDataConnectionItself) {
    passive();
    expectBothJobsWork();
    EXPECT_EQ(count("PORT"), 0);
    // One for each listing and each file: none that nothing uses.
    EXPECT_EQ(count("EPSV"), 5);
    EXPECT_EQ(count("PASV"), 0);
}

TEST_F(DataSetup, RefusedEpsvFallsBackToPasvForTheSession) {
    passive();
    server.refuseEpsv = true;
    // The address a 227 announces is never used: zero or private, the
    // program connects to the control connection's peer.
    for (const char* announced : {"0,0,0,0", "10,0,0,5"}) {
        SCOPED_TRACE(announced);
        server.pasvAddress = announced;
        server.commands.clear();
        std::remove(dir.file("filename2.log").c_str());
        std::remove(dir.file("fileupl1.log").c_str());
        loadDownloadedNames(app());
        loadUploadedNames(app());
        expectBothJobsWork();
        EXPECT_EQ(count("EPSV"), 2);  // once per session
        EXPECT_EQ(count("PASV"), 5);
    }
}

TEST_F(DataSetup, PassivePortThatRefusesFailsThatFileOnly) {
    passive();
    server.refusePassiveAt = 2;  // the listing, then a.jpg
    download();
    EXPECT_EQ(lines("dl_file_size.log", "a.jpg", "fail"), 1);
    EXPECT_EQ(count("RETR a.jpg"), 0);
    EXPECT_EQ(dir.read("b.jpg"), server.files["b.jpg"]);
    EXPECT_FALSE(dir.exists("err_dload.log"));
}

TEST_F(DataSetup, IPv6InBothModes) {
    host("[::1]");
    expectBothJobsWork();
    EXPECT_GE(count("EPRT |2|::1|"), 6);
    EXPECT_EQ(count("PORT"), 0);

    server.files["c.jpg"] = "c";
    dir.write("z.txt", "z");
    passive();
    host("::1");
    server.commands.clear();
    expectBothJobsWork();
    EXPECT_EQ(dir.read("c.jpg"), "c");
    EXPECT_EQ(count("EPSV"), 4);
}

TEST_F(DataSetup, RefusedEprtFailsTheSessionWithItsLogLine) {
    host("::1");
    server.refuseEprt = true;
    download();
    EXPECT_EQ(count("NLST"), 0);
    EXPECT_EQ(w().Label11.caption(), "1AMTimeout");
    EXPECT_EQ(dir.read("err_dload.log").rfind("Timeout Error ", 0), 0u) << dir.read("err_dload.log");
}

TEST_F(DataSetup, PortAddressForActiveModeBehindNat) {
    s().portAddress = "203.0.113.9";
    expectBothJobsWork();
    EXPECT_GE(count("PORT 203,0,113,9,"), 6);
    EXPECT_EQ(count("PORT 127,"), 0);
}

}  // namespace
}  // namespace corvantel::testing

namespace corvantel::testing {
namespace {

// FTPS on the scripted server: the dialogue, and each way it fails before
// the password goes out.
class Ftps : public DataSetupBase {};

TEST_F(Ftps, SessionsGoThroughAuthTlsAndProtectTheirData) {
    server.tls = true;
    w().ai_dtls.userChoose();
    w().ai_utls.userChoose();
    passive();
    expectBothJobsWork();
    ASSERT_GE(server.commands.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(server.commands.begin(), server.commands.begin() + 5),
              (std::vector<std::string>{"AUTH TLS", "USER u", "PASS p", "PBSZ 0", "PROT P"}));
    EXPECT_TRUE(server.control->tlsStarted);
    EXPECT_EQ(server.control->tlsSettings.peerName, "127.0.0.1");
    EXPECT_TRUE(server.dataWasSecure);
}

TEST_F(Ftps, FailuresBeforeThePasswordEachWithTheirLine) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        const char* line;
    } cases[] = {
        {"server without TLS", [&] { server.tls = false; }, "TLS refused "},
        {"unknown CA", [&] { server.controlTlsFailure = platform::neterr::TlsNotTrusted; },
         "Certificate not trusted "},
        {"host name mismatch", [&] { server.controlTlsFailure = platform::neterr::TlsNameMismatch; },
         "Certificate names another host "},
        {"a reply behind the 234", [&] { server.afterAuth = "230 Login successful.\r\n"; },
         "Bytes followed the TLS answer "},
        {"part of a line behind the 234", [&] { server.afterAuth = "230 Lo"; }, "Bytes followed the TLS answer "},
        {"a blank line behind the 234", [&] { server.afterAuth = "\r\n"; }, "Bytes followed the TLS answer "},
    };
    w().ai_dtls.userChoose();
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        server.tls = true;
        server.controlTlsFailure = 0;
        server.afterAuth.clear();
        c.arrange();
        server.commands.clear();
        std::remove(dir.file("err_dload.log").c_str());
        download();
        EXPECT_EQ(count("USER") + count("PASS"), 0);
        EXPECT_EQ(dir.read("err_dload.log").rfind(c.line, 0), 0u) << dir.read("err_dload.log");
        EXPECT_EQ(w().Label11.caption(), "1AM Login Failed");
    }
}

TEST_F(Ftps, DataConnectionRefusedFailsItsFileOnly) {
    server.tls = true;
    w().ai_dtls.userChoose();
    passive();
    server.refuseDataTls = true;
    download();
    EXPECT_FALSE(dir.exists("a.jpg"));
    EXPECT_EQ(lines("dl_file_size.log", "a.jpg", "fail") + lines("dl_file_size.log", "b.jpg", "fail"), 2);
    EXPECT_EQ(s().failedSessions, 0);
    EXPECT_FALSE(dir.exists("err_dload.log"));
}

// A data connection whose certificate is not the control connection's (or
// whose TLS fails otherwise) fails the session with a line saying so.
TEST_F(Ftps, DataConnectionTlsFailureFailsTheSessionWithItsOwnLine) {
    server.tls = true;
    w().ai_dtls.userChoose();
    passive();
    server.dataTlsFailure = platform::neterr::TlsDataPeerChanged;
    download();
    EXPECT_FALSE(dir.exists("a.jpg"));
    EXPECT_EQ(s().failedSessions, 1);
    EXPECT_EQ(dir.read("err_dload.log").rfind("Data connection: Certificate differs from the control connection's ", 0),
              0u)
        << dir.read("err_dload.log");
}

TEST_F(Ftps, HandshakeThatNeverEndsIsTakenOverThenTheNextSessionRuns) {
    server.tls = true;
    server.controlTlsStall = true;
    w().ai_dtls.userChoose();
    download();
    EXPECT_EQ(dir.read("err_dload.log").rfind("Unknown Error ", 0), 0u) << dir.read("err_dload.log");
    EXPECT_EQ(count("USER"), 0);
    server.controlTlsStall = false;
    download();
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
}

}  // namespace
}  // namespace corvantel::testing

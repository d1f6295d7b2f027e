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
    server.epsv = FakeFtpServer::Epsv::Refused;
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

// EPSV failing in any other way is asked again with PASV as well, at the
// listing or at a file, and the session keeps to PASV from then on; the
// 227's address stays unused. For both jobs, each beginning with EPSV.
struct EpsvFailure {
    const char* what;
    FakeFtpServer::Epsv how;
    const char* code;
    int from;  // the nth EPSV of a session fails (1: the listing's, 2: the first file's)
};

std::ostream& operator<<(std::ostream& o, const EpsvFailure& c) { return o << c.what; }

class EpsvFallback : public DataSetupBase, public ::testing::WithParamInterface<EpsvFailure> {};

TEST_P(EpsvFallback, FallsBackToPasvForTheRestOfTheSession) {
    const auto& c = GetParam();
    passive();
    server.epsv = c.how;
    server.epsvCode = c.code;
    server.epsvFailsFrom = c.from;
    server.pasvAddress = "10,0,0,5";
    expectBothJobsWork();
    EXPECT_EQ(count("EPSV"), 2 * c.from);
    EXPECT_EQ(count("PASV"), 5 - 2 * (c.from - 1));
    // In each session: EPSV until it fails, PASV right behind that one, and
    // never EPSV again.
    int session = -1, epsvs = 0;
    bool pasv = false;
    for (std::size_t i = 0; i < server.commands.size(); ++i) {
        const auto& cmd = server.commands[i];
        if (cmd.rfind("USER", 0) == 0) ++session, epsvs = 0, pasv = false;
        if (cmd == "EPSV") {
            EXPECT_FALSE(pasv) << "session " << session;
            if (++epsvs == c.from) {
                ASSERT_LT(i + 1, server.commands.size());
                EXPECT_EQ(server.commands[i + 1], "PASV") << "session " << session;
            }
        }
        if (cmd == "PASV") pasv = true;
    }
    EXPECT_EQ(session, 1);
}

INSTANTIATE_TEST_SUITE_P(
    DataSetup, EpsvFallback,
    ::testing::Values(EpsvFailure{"refused502", FakeFtpServer::Epsv::Refused, "502", 1},
                      EpsvFailure{"refused550", FakeFtpServer::Epsv::Refused, "550", 1},
                      EpsvFailure{"refused550AtAFile", FakeFtpServer::Epsv::Refused, "550", 2},
                      EpsvFailure{"refused450", FakeFtpServer::Epsv::Refused, "450", 1},
                      EpsvFailure{"refused425AtAFile", FakeFtpServer::Epsv::Refused, "425", 2},
                      EpsvFailure{"refused425", FakeFtpServer::Epsv::Refused, "425", 1},
                      EpsvFailure{"malformed", FakeFtpServer::Epsv::Malformed, "", 1},
                      EpsvFailure{"malformedAtAFile", FakeFtpServer::Epsv::Malformed, "", 2},
                      EpsvFailure{"closedPort", FakeFtpServer::Epsv::ClosedPort, "", 1},
                      EpsvFailure{"closedPortAtAFile", FakeFtpServer::Epsv::ClosedPort, "", 2}),
    [](const auto& info) { return std::string(info.param.what); });

// A 421 is the server closing the connection, not an answer about EPSV:
// no PASV goes out, and the session fails as it does without a listing
// connection; the next session (the server well again) works.
TEST_F(DataSetup, EpsvAnswered421IsNoReasonToTryPasv) {
    passive();
    server.epsv = FakeFtpServer::Epsv::Refused;
    server.epsvCode = "421";
    download();
    EXPECT_EQ(count("PASV"), 0);
    EXPECT_EQ(count("NLST") + count("LIST"), 0);
    EXPECT_FALSE(dir.exists("a.jpg"));
    EXPECT_EQ(s().failedSessions, 1);
    server.epsv = FakeFtpServer::Epsv::Works;
    download();
    EXPECT_EQ(dir.read("a.jpg"), server.files["a.jpg"]);
}

// PASV, asked after EPSV failed, whose port refuses as well: that file
// fails, the session goes on.
TEST_F(DataSetup, PassivePortThatRefusesFailsThatFileOnly) {
    passive();
    server.epsv = FakeFtpServer::Epsv::ClosedPort;
    server.refusePassiveAt = 3;  // EPSV's port, the listing's, then a.jpg's
    download();
    EXPECT_EQ(count("EPSV"), 1);
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

// Active mode: another process that races the server to the data port,
// from another address, is closed unread and gets nothing (neither the
// stored file nor a say in a fetched one); the listener goes on listening
// and the server's own connection carries every listing and file. The
// trace says so. In IPv4 and IPv6.
TEST_F(DataSetup, ActiveModeTakesDataConnectionsFromTheServerOnly) {
    struct Case {
        const char* host;
        const char* stranger;
    } cases[] = {{"127.0.0.1", "10.0.0.9"}, {"[::1]", "fd00::9"}};
    std::string traced;
    app().trace = [&](const std::string& t) { traced += t + "\n"; };
    for (auto& c : cases) {
        SCOPED_TRACE(c.host);
        host(c.host);
        std::remove(dir.file("filename2.log").c_str());
        std::remove(dir.file("fileupl1.log").c_str());
        std::remove(dir.file("a.jpg").c_str());
        std::remove(dir.file("b.jpg").c_str());
        loadDownloadedNames(app());
        loadUploadedNames(app());
        server.stored.clear();
        server.commands.clear();
        traced.clear();
        // The stranger connects as soon as the port is announced, before
        // the server would, and offers bytes of its own.
        std::vector<std::shared_ptr<platform::fake::Peer>> strangers;
        server.override = [&](const std::string& line) -> std::string {
            std::int32_t port = -1;
            if (line.rfind("PORT ", 0) == 0) {
                const auto comma = line.rfind(',');
                const auto before = line.rfind(',', comma - 1);
                port = std::stoi(line.substr(before + 1)) * 256 + std::stoi(line.substr(comma + 1));
            } else if (line.rfind("EPRT ", 0) == 0) {
                const auto end = line.rfind('|');
                port = std::stoi(line.substr(line.rfind('|', end - 1) + 1));
            }
            if (port > 0) {
                auto p = plat.connectTo(port, c.stranger);
                EXPECT_TRUE(p);
                if (p) p->send("forged bytes");
                strangers.push_back(p);
            }
            return "";
        };
        expectBothJobsWork();
        EXPECT_EQ(static_cast<int>(strangers.size()), count("PORT") + count("EPRT"));
        EXPECT_GE(strangers.size(), 5u);
        for (auto& p : strangers) {
            ASSERT_TRUE(p);
            EXPECT_EQ(p->allReceived(), "");
            EXPECT_TRUE(p->closedByProgram());
        }
        EXPECT_NE(traced.find(std::string("upload: data connection from ") + c.stranger + " refused"), std::string::npos)
            << traced;
        EXPECT_NE(traced.find(std::string("download: data connection from ") + c.stranger + " refused"),
                  std::string::npos)
            << traced;
    }
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

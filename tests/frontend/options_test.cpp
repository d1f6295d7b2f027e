// The command line: parsing, clear errors, and presets applied as the user
// would set them.

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "app/app_state.h"
#include "program/program.h"
#include "frontend/options.h"
#include "support/app_fixture.h"

namespace corvantel::testing {
namespace {

std::optional<Options> parse(std::vector<std::string> args, std::string* error = nullptr) {
    std::string e;
    auto o = parseOptions(args, e);
    if (error) *error = e;
    return o;
}

TEST(CommandLine, WrongCommandLinesGetAClearMessage) {
    std::string error;
    EXPECT_FALSE(parse({"--bogus"}, &error));
    EXPECT_NE(error.find("unknown option '--bogus'"), std::string::npos);
    EXPECT_FALSE(parse({"--download-host"}, &error));
    EXPECT_NE(error.find("needs a value"), std::string::npos);
    EXPECT_FALSE(parse({"--download-at", "13PM"}, &error));
    EXPECT_FALSE(parse({"--download-at", "5XM"}, &error));
    EXPECT_FALSE(parse({"--arm", "sideways"}, &error));
    EXPECT_FALSE(parse({"--run-now", "both"}, &error));
    EXPECT_FALSE(parse({"--download-dupe-check", "yes"}, &error));
    for (const char* bad : {"0", "-5", "ten", "12x"}) {
        EXPECT_FALSE(parse({"--settle", bad}, &error)) << bad;
        EXPECT_NE(error.find("--settle wants a number of seconds"), std::string::npos) << bad;
    }
    for (const char* bad : {"0", "9", "12", "two", ""}) {
        EXPECT_FALSE(parse({"--parallel", bad}, &error)) << bad;
        EXPECT_NE(error.find("--parallel wants a number of connections from 1 to 8"), std::string::npos) << bad;
    }
    EXPECT_FALSE(parse({"--work-path", "/no/such/dir"}, &error));
    EXPECT_NE(error.find("not a directory"), std::string::npos);
    for (const char* bad : {"", "/x", "a\\b", "x\ny", ".."}) {
        EXPECT_FALSE(parse({"--upload-temp-suffix", bad}, &error)) << bad;
        EXPECT_NE(error.find("--upload-temp-suffix wants a short suffix"), std::string::npos) << bad;
    }
    for (const char* bad : {"SHA256:short", "MD5:aa:bb", "SHA256:MWwRBD0JDnoiguVXxiqR3gPB3JS14aBHktPSmbE/6k=",
                            "sha256:MWwRBD0JDnoiguVXxiqR3gPB3JS14aBHktPSmbE/6kk"}) {
        EXPECT_FALSE(parse({"--download-host-key", bad}, &error)) << bad;
        EXPECT_NE(error.find("wants a key's fingerprint"), std::string::npos) << bad;
    }
    EXPECT_TRUE(parse({"--upload-host-key", "SHA256:MWwRBD0JDnoiguVXxiqR3gPB3JS14aBHktPSmbE/6kk"}));
    EXPECT_FALSE(parse({"--download-tls", "--download-sftp"}, &error));
    EXPECT_NE(error.find("FTPS or SFTP, not both"), std::string::npos);
    EXPECT_TRUE(parse({"--download-tls", "--upload-sftp"}));
    EXPECT_FALSE(parse({"--json"}, &error));
    EXPECT_NE(error.find("--json needs --headless"), std::string::npos);
    EXPECT_FALSE(parse({"--headless", "--on-session", ""}, &error));
    EXPECT_NE(error.find("needs a command"), std::string::npos);
}

// Passwords off the command line: a file's first line (a warning when
// others can read it), else the environment; one given outright comes first.
TEST(CommandLine, PasswordsFromFilesAndTheEnvironment) {
    TempDir d;
    d.write("pw", "s3cret\nsecond line\n");
    ::chmod(d.file("pw").c_str(), 0600);
    ::setenv("CORVANTEL_UPLOAD_PASSWORD", "from-env", 1);
    auto o = parse({"--download-password-file", d.file("pw")});
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->warnings.empty());
    EXPECT_NE(std::find(o->fields.begin(), o->fields.end(), std::pair<std::string, std::string>{"fText4", "s3cret"}),
              o->fields.end());
    EXPECT_NE(std::find(o->fields.begin(), o->fields.end(), std::pair<std::string, std::string>{"Text5", "from-env"}),
              o->fields.end());
    ::chmod(d.file("pw").c_str(), 0644);
    o = parse({"--upload-password", "given", "--upload-password-file", d.file("pw")});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->warnings.size(), 0u);  // the file is not read: the password was given
    EXPECT_EQ(std::count_if(o->fields.begin(), o->fields.end(), [](auto& f) { return f.first == "Text5"; }), 1);
    std::string error;
    EXPECT_FALSE(parse({"--download-password-file", d.file("pw")}, &error));
    EXPECT_NE(error.find("can be read by others (chmod 600 it)"), std::string::npos) << error;
    ::unsetenv("CORVANTEL_UPLOAD_PASSWORD");
    EXPECT_FALSE(parse({"--download-password-file", d.file("missing")}, &error));
    EXPECT_EQ(traceText("PASS s3cret"), "PASS ****");
}

// A password file is opened once and judged by what was opened; each fault
// is a clear error (exit status 2), none hangs the start.
TEST(CommandLine, PasswordFilesThatAreRefused) {
    TempDir d;
    ASSERT_EQ(::mkdir(d.file("dir").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(d.file("fifo").c_str(), 0600), 0);
    const struct {
        const char* name;
        std::string content;  // nothing written for "dir" and "fifo"
        unsigned mode;
        const char* error;
    } rows[] = {
        {"empty", "", 0600, "is empty"},
        {"blank", "\r\nsecond\n", 0600, "is empty"},
        {"long", std::string(5000, 'x'), 0600, "too long"},
        {"group", "pw\n", 0640, "can be read by others"},
        {"other", "pw\n", 0604, "can be read by others"},
        {"cr", "p\rw\n", 0600, "holds a CR or a NUL byte"},
        {"nul", std::string("p\0w\n", 4), 0600, "holds a CR or a NUL byte"},
        {"dir", "", 0700, "is not a regular file"},
        {"fifo", "", 0600, "is not a regular file"},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (std::string(row.name) != "dir" && std::string(row.name) != "fifo") {
            d.write(row.name, row.content);
            ASSERT_EQ(::chmod(d.file(row.name).c_str(), row.mode), 0);
        }
        std::string error;
        EXPECT_FALSE(parse({"--download-password-file", d.file(row.name)}, &error));
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
        EXPECT_NE(error.find(row.name), std::string::npos) << error;  // the file is named
    }
    // The owner-only file with a first line is taken, write bits aside.
    d.write("ok", "p w\r\n");
    ASSERT_EQ(::chmod(d.file("ok").c_str(), 0400), 0);
    auto o = parse({"--upload-password-file", d.file("ok")});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->fields, (std::vector<std::pair<std::string, std::string>>{{"Text5", "p w"}}));
}

// A password that would end the PASS command early is refused at start-up,
// wherever it comes from; other commands holding such a byte are never sent.
TEST(CommandLine, PasswordsWithLineBreaksAreRefused) {
    std::string error;
    for (const std::string& bad : {std::string("a\r\nDELE victim.txt"), std::string("a\n"), std::string("\r")}) {
        EXPECT_FALSE(parse({"--upload-password", bad}, &error));
        EXPECT_EQ(error, "the upload password holds a line break or a NUL byte");
        ::setenv("CORVANTEL_DOWNLOAD_PASSWORD", bad.c_str(), 1);
        EXPECT_FALSE(parse({}, &error));
        EXPECT_EQ(error, "the download password holds a line break or a NUL byte");
    }
    ::unsetenv("CORVANTEL_DOWNLOAD_PASSWORD");
    EXPECT_TRUE(parse({"--download-password", "fine \t pass"}));
    EXPECT_TRUE(fitsInCommand("STOR a b.txt"));
    EXPECT_FALSE(fitsInCommand("STOR a\rb"));
    EXPECT_FALSE(fitsInCommand("STOR a\nb"));
    EXPECT_FALSE(fitsInCommand(std::string("STOR a\0b", 8)));
}

// Headless, a password on the command line draws a warning: every local
// user can read it in the process list.
TEST(CommandLine, PasswordOnTheCommandLineWarnsHeadless) {
    auto o = parse({"--download-password", "x", "--headless"});
    ASSERT_TRUE(o);
    ASSERT_EQ(o->warnings.size(), 1u);
    EXPECT_EQ(o->warnings[0],
              "--download-password can be read by every local user in the process list; use "
              "--download-password-file or CORVANTEL_DOWNLOAD_PASSWORD");
    o = parse({"--headless", "--upload-password", "x", "--download-password", "y"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->warnings.size(), 2u);
    EXPECT_TRUE(parse({"--download-password", "x"})->warnings.empty());  // the window
}

TEST(CommandLine, ValuesAreKeptInOrder) {
    auto o = parse({"--headless", "--download-at", "5pm", "--run-now", "upload", "--run-now", "download", "--once",
                    "--arm", "both", "--list", "--json", "--on-session", "echo $CORVANTEL_RESULT"});
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->headless);
    EXPECT_TRUE(o->once);
    EXPECT_TRUE(o->list);
    EXPECT_TRUE(o->armDownload && o->armUpload);
    ASSERT_TRUE(o->downloadAt);
    EXPECT_EQ(o->downloadAt->first, "5");
    EXPECT_EQ(o->downloadAt->second, "PM");
    EXPECT_EQ(o->runNow, (std::vector<std::string>{"upload", "download"}));
    EXPECT_TRUE(o->json);
    EXPECT_EQ(o->onSession, "echo $CORVANTEL_RESULT");
}

TEST(CommandLine, VersionIsAnOptionOfItsOwn) {
    auto o = parse({"--version"});
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->version);
    EXPECT_FALSE(o->help);
    EXPECT_FALSE(parse({})->version);
    // "corvantel X.Y.Z" on one line, and --help tells of it.
    const std::string v = versionText();
    EXPECT_EQ(v.rfind("corvantel ", 0), 0u);
    EXPECT_GT(v.size(), std::string("corvantel \n").size());
    EXPECT_EQ(v.back(), '\n');
    EXPECT_EQ(v.find('\n'), v.size() - 1);
    EXPECT_NE(usageText().find("--version"), std::string::npos);
}

class Presets : public AppTest {};

TEST_F(Presets, FieldsGoThroughTheirRules) {
    start();
    auto o = parse({"--download-host", "  ftp.example  ", "--download-port", "x21", "--download-retries", "7",
                    "--upload-user", "anonymous", "--upload-password", "secret", "--ascii", "--list",
                    "--delete-after-download", "--download-dupe-check", "off", "--upload-at", "11PM", "--verify",
                    "--settle", "90", "--resume", "--parallel", "3", "--upload-temp-name", "--upload-temp-suffix",
                    ".tmp"});
    ASSERT_TRUE(o);
    applyOptions(app(), *o);
    EXPECT_EQ(w().Text1.text(), "ftp.example");
    EXPECT_EQ(w().Text9.text(), "21");
    EXPECT_EQ(w().Text11.text(), "1");
    EXPECT_EQ(w().Text5.text(), defaultAnonymousPassword);
    EXPECT_EQ(s().transferType, "TYPE A");
    EXPECT_FALSE(w().ai_nlst.checked());
    EXPECT_TRUE(s().deleteAfterDownload);
    EXPECT_FALSE(s().downloadDupeCheck);
    EXPECT_EQ(w().Label12.caption(), "11PM InActive");
    EXPECT_TRUE(w().ai_verify.checked() && s().verifyTransfers);
    EXPECT_TRUE(w().ai_resume.checked() && s().resumeDownloads);
    EXPECT_TRUE(w().ai_utemp.checked() && s().uploadTempName);
    EXPECT_EQ(s().uploadTempSuffix, ".tmp");
    EXPECT_TRUE(w().ai_settle.checked());
    EXPECT_EQ(s().settleSeconds, 90);
    // The tick turns it off and on again with the seconds given.
    w().ai_settle.onChoose();
    EXPECT_EQ(s().settleSeconds, 0);
    w().ai_settle.onChoose();
    EXPECT_EQ(s().settleSeconds, 90);
    EXPECT_TRUE(w().ai_parallel.checked());
    EXPECT_EQ(s().parallelConnections, 3);
    w().ai_parallel.onChoose();
    EXPECT_EQ(s().parallelConnections, 1);
}

TEST_F(Presets, ArmingAppliesItsRules) {
    start();
    auto o = parse({"--download-user", "", "--arm", "download"});
    ASSERT_TRUE(o);
    applyOptions(app(), *o);
    EXPECT_FALSE(w().Check1.checked());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "One or more fields are empty or incorrect");
    o = parse({"--download-user", "bob", "--arm", "download"});
    applyOptions(app(), *o);
    EXPECT_TRUE(w().Check1.checked());
    EXPECT_TRUE(w().Timer1->enabled());
}

TEST_F(Presets, WorkPathAsChosenInTheDialog) {
    start();
    TempDir other;
    auto o = parse({"--work-path", other.path()});
    ASSERT_TRUE(o);
    applyOptions(app(), *o);
    EXPECT_EQ(s().workPath, other.path());
    EXPECT_EQ(w().Label15.caption(), "Working Path is " + other.path());
    EXPECT_EQ(dir.read("pather.log"), other.path() + "\r\n");
}

// Headless with a password loaded, the process becomes non-dumpable: no
// core file, no ptrace or /proc/PID/mem for the user's other processes.
TEST_F(Presets, HeadlessWithAPasswordIsNotDumpable) {
    start();
    ASSERT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);
    auto o = parse({"--headless"});
    EXPECT_FALSE(guardSecrets(app(), *o));  // the anonymous default is no secret
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);
    o = parse({"--download-user", "bob", "--download-password", "s3cret"});
    applyOptions(app(), *o);
    EXPECT_FALSE(guardSecrets(app(), *o));  // the window
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);
    o->headless = true;
    EXPECT_TRUE(guardSecrets(app(), *o));
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
    ASSERT_EQ(::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0), 0);
    // A key's passphrase is a secret too.
    w().fText4.setText(defaultAnonymousPassword);
    s().downloadSsh.keyPassphrase = "open sesame";
    EXPECT_TRUE(guardSecrets(app(), *o));
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
    ASSERT_EQ(::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0), 0);
}

TEST(Once, WaitsForEveryArmedAndRunNowJob) {
    platform::fake::FakePlatform plat;
    TempDir dir;
    Program app(plat, dir.path());
    Options o;
    o.runNow = {"download", "download"};
    o.armUpload = true;
    EXPECT_FALSE(onceSatisfied(app, o));
    app.s.downloadJobRuns = 2;
    EXPECT_FALSE(onceSatisfied(app, o));
    app.s.uploadJobRuns = 1;
    EXPECT_TRUE(onceSatisfied(app, o));
}

}  // namespace
}  // namespace corvantel::testing

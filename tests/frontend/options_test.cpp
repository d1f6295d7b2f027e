// The command line: parsing, clear errors, and presets applied as the user
// would set them.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "app/app_state.h"
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
    EXPECT_FALSE(parse({"--work-path", "/no/such/dir"}, &error));
    EXPECT_NE(error.find("not a directory"), std::string::npos);
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
    o = parse({"--download-password-file", d.file("pw")});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->warnings.size(), 1u);
    ::unsetenv("CORVANTEL_UPLOAD_PASSWORD");
    std::string error;
    EXPECT_FALSE(parse({"--download-password-file", d.file("missing")}, &error));
    EXPECT_EQ(traceText("PASS s3cret"), "PASS ****");
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
                    "--delete-after-download", "--download-dupe-check", "off", "--upload-at", "11PM"});
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

TEST(Once, WaitsForEveryArmedAndRunNowJob) {
    platform::fake::FakePlatform plat;
    TempDir dir;
    App app(plat, dir.path());
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

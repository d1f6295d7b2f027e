// Start-up and shut-down as they meet the program's own files: the work
// path file, the settings file and the default fields.

#include <gtest/gtest.h>

#include <filesystem>

#include "support/app_fixture.h"

namespace corvantel::testing {
namespace {

namespace fs = std::filesystem;
using platform::fake::ProgramEnded;

class StartUpFiles : public AppTest {};

TEST_F(StartUpFiles, FirstStartInAnEmptyDirectory) {
    start();
    EXPECT_EQ(dir.read("pather.log"), dir.path() + "\r\n");
    EXPECT_EQ(s().workPath, dir.path());
    EXPECT_FALSE(dir.exists("values.log"));
    EXPECT_EQ(w().Text1.text(), defaultHostName);
    EXPECT_EQ(w().fText3.text(), "anonymous");
    EXPECT_EQ(w().fText4.text(), defaultAnonymousPassword);
    EXPECT_EQ(w().Text2.text(), "/tmp");
    EXPECT_EQ(w().Text7.text(), "*.jpg");
    EXPECT_EQ(w().Text9.text(), "21");
    EXPECT_EQ(w().Text3.text(), defaultHostName);
    EXPECT_EQ(w().Text4.text(), "anonymous");
    EXPECT_EQ(w().Text5.text(), defaultAnonymousPassword);
    EXPECT_EQ(w().Text6.text(), "/tmp");
    EXPECT_EQ(w().Text8.text(), "*.txt");
    EXPECT_EQ(w().Text10.text(), "21");
    EXPECT_EQ(w().Text11.text(), "0");
    EXPECT_EQ(w().Text12.text(), "0");
    EXPECT_EQ(w().Label15.caption(), "Working Path is " + dir.path());
    EXPECT_EQ(w().File2.path(), dir.path());
    EXPECT_EQ(w().Label11.caption(), "Not Set");
    EXPECT_EQ(w().Label12.caption(), "Not Set");
    EXPECT_TRUE(w().Check3.checked());
    EXPECT_TRUE(w().Check4.checked());
    EXPECT_TRUE(s().downloadDupeCheck);
    EXPECT_TRUE(s().uploadDupeCheck);
    EXPECT_FALSE(w().Check1.checked());
    EXPECT_FALSE(w().Check2.checked());
    EXPECT_TRUE(messages.empty());
}

TEST_F(StartUpFiles, RemovedWorkDirectoryFallsBackUntilTheClose) {
    const std::string gone = dir.file("gone");
    dir.write("pather.log", gone + "\r\n");
    start();
    EXPECT_EQ(s().workPath, dir.path());
    EXPECT_EQ(dir.read("pather.log"), gone + "\r\n");
    EXPECT_THROW(app().chooseExitNow(), ProgramEnded);
    EXPECT_EQ(dir.read("pather.log"), dir.path() + "\r\n");
}

TEST_F(StartUpFiles, WorkPathFileIsReadAsItsFirstField) {
    fs::create_directories(dir.file("my dir"));
    const std::pair<std::string, std::string> cases[] = {
        {"\"" + dir.file("my dir") + "\"\r\n", dir.file("my dir")},
        {"  " + dir.file("my dir") + "  \n", dir.file("my dir")},
        {dir.file("my dir"), dir.file("my dir")},
        {"", dir.path()},
        {"\r\n", dir.path()},
        {"\"\"\r\n", dir.path()},
    };
    for (auto& [content, expected] : cases) {
        SCOPED_TRACE(content);
        app_.reset();
        dir.write("pather.log", content);
        start();
        EXPECT_EQ(s().workPath, expected);
        EXPECT_EQ(w().Label15.caption(), "Working Path is " + expected);
    }
}

TEST_F(StartUpFiles, CloseBoxRightAfterStartUpWritesBothFiles) {
    start();
    w().Text7.userSetText("*.png");
    EXPECT_THROW(w().userClose(), ProgramEnded);
    EXPECT_NE(dir.read("values.log").find("\"*.png\""), std::string::npos);
    EXPECT_EQ(dir.read("pather.log"), dir.path() + "\r\n");
}

TEST_F(StartUpFiles, SavedFieldsReplaceTheDefaultsOnTheNextStart) {
    start();
    w().Text1.userSetText("down.example");
    w().Text2.userSetText("/pub");
    w().Text7.userSetText("*.zip");
    w().Text9.userSetText("2121");
    w().Text3.userSetText("up.example");
    w().Text4.userSetText("alice");
    w().Text5.userSetText("pw");
    w().Text6.userSetText("/incoming");
    w().Text8.userSetText("*.csv");
    w().Text10.userSetText("990");
    w().Text11.userSetText("3");
    w().ai_pass.userChoose();
    EXPECT_THROW(app().chooseExitNow(), ProgramEnded);

    app_.reset();
    start();
    EXPECT_EQ(w().Text1.text(), "down.example");
    EXPECT_EQ(w().Text2.text(), "/pub");
    EXPECT_EQ(w().Text7.text(), "*.zip");
    EXPECT_EQ(w().Text9.text(), "2121");
    EXPECT_EQ(w().Text3.text(), "up.example");
    EXPECT_EQ(w().Text4.text(), "alice");
    EXPECT_EQ(w().Text5.text(), "pw");
    EXPECT_EQ(w().Text6.text(), "/incoming");
    EXPECT_EQ(w().Text8.text(), "*.csv");
    EXPECT_EQ(w().Text10.text(), "990");
    // Retries and options are not kept.
    EXPECT_EQ(w().Text11.text(), "0");
    EXPECT_FALSE(w().ai_pass.checked());
}

}  // namespace
}  // namespace corvantel::testing

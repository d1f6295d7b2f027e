// The work path dialog and the about box.

#include <gtest/gtest.h>

#include <filesystem>

#include "app/dialogs.h"
#include "support/app_fixture.h"

namespace corvantel::testing {
namespace {

namespace fs = std::filesystem;
using platform::fake::ProgramEnded;

class WorkPath : public AppTest {
protected:
    void SetUp() override {
        fs::create_directories(dir.file("sub/inner"));
        fs::create_directories(dir.file("other"));
        dir.write("sub/x.txt", "x");
        start();
    }
    WorkPathDialog& dlg() { return *app().form3; }
    std::string sub() const { return dir.file("sub"); }
};

TEST_F(WorkPath, DialogsCarryTheirNamesAndCaptions) {
    EXPECT_EQ(dlg().name(), "Form3");
    EXPECT_EQ(dlg().caption(), "Work Path Setting");
    EXPECT_EQ(dlg().Label1.caption(), "");
    EXPECT_FALSE(dlg().isOpen());
    EXPECT_EQ(app().form4->name(), "Form4");
    EXPECT_EQ(app().form4->caption(), "About FTP V1.0b");
    EXPECT_FALSE(app().form4->isOpen());
}

TEST_F(WorkPath, OpeningStartsAtTheCurrentDirectoryAndLocksTheMainWindow) {
    dlg().open();
    EXPECT_TRUE(dlg().isOpen());
    EXPECT_FALSE(w().enabled());
    EXPECT_EQ(dlg().shownFolder(), dir.path());
    EXPECT_EQ(dlg().currentEntry(), dir.path());
    EXPECT_EQ(dlg().Label1.caption(), dir.path());
    EXPECT_EQ(dlg().subFolders(), (std::vector<std::string>{dir.file("other"), sub()}));
    auto parents = dlg().parentFolders();
    ASSERT_FALSE(parents.empty());
    EXPECT_EQ(parents.front(), "/");
    EXPECT_EQ(parents.back(), fs::path(dir.path()).parent_path().string());
}

TEST_F(WorkPath, EnterAtOnceChoosesTheCurrentDirectoryOverAnEarlierChoice) {
    // An earlier run chose sub.
    dir.write("pather.log", sub() + "\r\n");
    app_.reset();
    start();
    ASSERT_EQ(s().workPath, sub());

    dlg().open();
    EXPECT_EQ(dlg().Label1.caption(), dir.path());  // not the work path
    dlg().keyPress(13);
    EXPECT_FALSE(dlg().isOpen());
    EXPECT_TRUE(w().enabled());
    EXPECT_EQ(s().workPath, dir.path());
    EXPECT_EQ(dir.read("pather.log"), dir.path() + "\r\n");
    EXPECT_EQ(w().Label15.caption(), "Working Path is " + dir.path());
    EXPECT_EQ(w().File2.path(), dir.path());
}

TEST_F(WorkPath, ClickTakesEffectAtOnceAndEscapeKeepsIt) {
    dlg().open();
    dlg().clickFolder(sub());
    EXPECT_EQ(s().workPath, sub());
    EXPECT_EQ(dlg().Label1.caption(), sub());
    EXPECT_EQ(dlg().currentEntry(), sub());
    // The list still shows the starting folder; File2 and Label15 wait.
    EXPECT_EQ(dlg().shownFolder(), dir.path());
    EXPECT_EQ(w().File2.path(), dir.path());
    EXPECT_EQ(w().Label15.caption(), "Working Path is " + dir.path());
    EXPECT_EQ(dir.read("pather.log"), dir.path() + "\r\n");

    dlg().keyPress(27);
    EXPECT_FALSE(dlg().isOpen());
    EXPECT_EQ(s().workPath, sub());
    EXPECT_EQ(dir.read("pather.log"), sub() + "\r\n");
    EXPECT_EQ(w().Label15.caption(), "Working Path is " + sub());
    EXPECT_EQ(w().File2.path(), sub());
    ASSERT_EQ(w().File2.count(), 1);
    EXPECT_EQ(w().File2.name(0), "x.txt");
}

TEST_F(WorkPath, OpeningAFolderShowsItAndChoosesIt) {
    dlg().open();
    dlg().clickFolder(dir.file("other"));
    dlg().openFolder(sub());
    EXPECT_EQ(dlg().shownFolder(), sub());
    EXPECT_EQ(dlg().currentEntry(), sub());  // nothing highlighted any more
    EXPECT_EQ(s().workPath, sub());
    EXPECT_EQ(dlg().Label1.caption(), sub());
    EXPECT_EQ(dlg().subFolders(), (std::vector<std::string>{dir.file("sub/inner")}));
    EXPECT_EQ(dlg().parentFolders().back(), dir.path());

    // Going up through a parent.
    dlg().openFolder(dir.path());
    EXPECT_EQ(s().workPath, dir.path());
    dlg().openFolder("sub/inner");  // relative to the shown folder
    EXPECT_EQ(s().workPath, dir.file("sub/inner"));
    dlg().close();
    EXPECT_EQ(dir.read("pather.log"), dir.file("sub/inner") + "\r\n");
}

TEST_F(WorkPath, OtherKeysAndMissingFoldersChangeNothing) {
    dlg().open();
    dlg().keyPress(65);
    dlg().keyPress(10);
    EXPECT_TRUE(dlg().isOpen());
    dlg().clickFolder(dir.file("gone"));
    dlg().openFolder(dir.file("gone"));
    dlg().clickFolder("");
    EXPECT_EQ(dlg().currentEntry(), dir.path());
    EXPECT_EQ(s().workPath, dir.path());
    EXPECT_EQ(dlg().shownFolder(), dir.path());
}

TEST_F(WorkPath, OpeningTwiceKeepsTheChoiceAndClosingTwiceDoesNothingMore) {
    dlg().open();
    dlg().clickFolder(sub());
    dlg().open();
    EXPECT_EQ(dlg().currentEntry(), sub());
    dlg().close();
    EXPECT_TRUE(w().enabled());
    // A second close does not write again.
    dir.write("pather.log", "untouched");
    dlg().close();
    EXPECT_EQ(dir.read("pather.log"), "untouched");
    // A closed dialog ignores clicks.
    dlg().clickFolder(dir.file("other"));
    EXPECT_EQ(s().workPath, sub());
}

TEST_F(WorkPath, EveryOpeningStartsAgainAtTheCurrentDirectory) {
    dlg().open();
    dlg().openFolder(sub());
    dlg().close();
    dlg().open();
    EXPECT_EQ(dlg().shownFolder(), dir.path());
    EXPECT_EQ(dlg().Label1.caption(), dir.path());
    // The work path stays what was chosen until something is picked or the
    // dialog closes.
    EXPECT_EQ(s().workPath, sub());
}

TEST_F(WorkPath, MainWindowTakesNoInputWhileTheDialogIsOpen) {
    dlg().open();
    EXPECT_FALSE(w().Text1.userSetText("x"));
    EXPECT_FALSE(w().ai_hr.userChoose());
    EXPECT_FALSE(w().userClose());
    EXPECT_FALSE(w().Label15.userDoubleClick());
    dlg().keyPress(13);
    EXPECT_TRUE(w().Text1.userSetText("x"));
    EXPECT_TRUE(w().ai_hr.userChoose());
}

TEST_F(WorkPath, PathWithACommaIsWrittenWholeButReadBackToTheComma) {
    fs::create_directories(dir.file("a,b"));
    dlg().open();
    dlg().clickFolder(dir.file("a,b"));
    dlg().close();
    EXPECT_EQ(dir.read("pather.log"), dir.file("a,b") + "\r\n");

    // The next start reads only up to the comma: no such folder.
    app_.reset();
    start();
    EXPECT_EQ(s().workPath, dir.path());
    EXPECT_EQ(dir.read("pather.log"), dir.file("a,b") + "\r\n");

    // When the part before the comma names a folder, that folder is taken.
    fs::create_directories(dir.file("a"));
    app_.reset();
    start();
    EXPECT_EQ(s().workPath, dir.file("a"));
}

TEST_F(WorkPath, ChoiceSurvivesAClose) {
    dlg().open();
    dlg().clickFolder(sub());
    dlg().keyPress(13);
    EXPECT_THROW(app().chooseExitNow(), ProgramEnded);
    EXPECT_EQ(dir.read("pather.log"), sub() + "\r\n");
    app_.reset();
    start();
    EXPECT_EQ(s().workPath, sub());
    EXPECT_EQ(w().Label15.caption(), "Working Path is " + sub());
}

class About : public AppTest {
protected:
    void SetUp() override { start(); }
};

TEST_F(About, EnterEscapeAndTheCloseBoxCloseIt) {
    for (int how : {13, 27, 0}) {
        SCOPED_TRACE(how);
        app().form4->open();
        EXPECT_TRUE(app().form4->isOpen());
        EXPECT_FALSE(w().enabled());
        app().form4->keyPress(32);
        EXPECT_TRUE(app().form4->isOpen());
        if (how == 0)
            app().form4->close();
        else
            app().form4->keyPress(how);
        EXPECT_FALSE(app().form4->isOpen());
        EXPECT_TRUE(w().enabled());
    }
}

TEST_F(About, OpeningTwiceNeedsOneClose) {
    app().form4->open();
    app().form4->open();
    app().form4->close();
    EXPECT_TRUE(w().enabled());
    EXPECT_FALSE(app().form4->isOpen());
    // Closing a closed box leaves the window alone.
    w().setEnabled(false);
    app().form4->close();
    EXPECT_FALSE(w().enabled());
}

}  // namespace
}  // namespace corvantel::testing

// The menu commands of the main window, the dupe-check boxes and the
// double-click shortcuts.

#include <gtest/gtest.h>

#include <functional>

#include "app/dialogs.h"
#include "schedule/time_dialog.h"
#include "support/app_fixture.h"

namespace corvantel::testing {
namespace {

using platform::fake::ProgramEnded;

class Menus : public AppTest {
protected:
    void SetUp() override { start(); }
};

TEST_F(Menus, StartWithTheInitialTicks) {
    EXPECT_TRUE(w().ai_nlst.checked());
    EXPECT_TRUE(w().ai_bin.checked());
    for (auto* item : {&w().ai_hr, &w().ai_pass, &w().ai_del, &w().ai_del2, &w().ai_dstamp, &w().ai_ustamp,
                       &w().ai_fsize, &w().ai_list, &w().ai_asc})
        EXPECT_FALSE(item->checked()) << item->name();
    EXPECT_EQ(s().transferType, "TYPE I");
}

TEST_F(Menus, FlipOnlyItemsToggleTheirTick) {
    for (auto* item : {&w().ai_hr, &w().ai_dstamp, &w().ai_ustamp}) {
        SCOPED_TRACE(item->name());
        ASSERT_TRUE(item->userChoose());
        EXPECT_TRUE(item->checked());
        ASSERT_TRUE(item->userChoose());
        EXPECT_FALSE(item->checked());
    }
}

TEST_F(Menus, FlipAndStoreItemsMirrorTheirTick) {
    struct Case {
        platform::MenuItem* item;
        bool* field;
    } cases[] = {
        {&w().ai_pass, &s().recallPassword},
        {&w().ai_del, &s().deleteAfterDownload},
        {&w().ai_del2, &s().deleteAfterUpload},
        {&w().ai_fsize, &s().fileSizeCheck},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.item->name());
        ASSERT_FALSE(*c.field);
        c.item->userChoose();
        EXPECT_TRUE(c.item->checked());
        EXPECT_TRUE(*c.field);
        c.item->userChoose();
        EXPECT_FALSE(c.item->checked());
        EXPECT_FALSE(*c.field);
    }
}

TEST_F(Menus, ListAndNlstAreAPair) {
    w().ai_list.userChoose();
    EXPECT_TRUE(w().ai_list.checked());
    EXPECT_FALSE(w().ai_nlst.checked());
    w().ai_list.userChoose();  // choosing the ticked one keeps it ticked
    EXPECT_TRUE(w().ai_list.checked());
    EXPECT_FALSE(w().ai_nlst.checked());
    w().ai_nlst.userChoose();
    EXPECT_FALSE(w().ai_list.checked());
    EXPECT_TRUE(w().ai_nlst.checked());
}

TEST_F(Menus, BinaryAndAsciiSetTheTransferType) {
    w().ai_asc.userChoose();
    EXPECT_EQ(s().transferType, "TYPE A");
    EXPECT_TRUE(w().ai_asc.checked());
    EXPECT_FALSE(w().ai_bin.checked());
    w().ai_bin.userChoose();
    EXPECT_EQ(s().transferType, "TYPE I");
    EXPECT_TRUE(w().ai_bin.checked());
    EXPECT_FALSE(w().ai_asc.checked());
    w().ai_bin.userChoose();
    EXPECT_TRUE(w().ai_bin.checked());
    EXPECT_FALSE(w().ai_asc.checked());
    EXPECT_EQ(s().transferType, "TYPE I");
}

// The options added to the menu start unticked and flip their state.
TEST_F(Menus, PasvAndQuickWaitsTickOnAndOff) {
    for (auto [item, flag] : {std::pair{&w().ai_pasv, &s().passiveMode}, {&w().ai_quick, &s().quickWaits}}) {
        EXPECT_TRUE(item->enabled());
        EXPECT_FALSE(item->checked());
        EXPECT_TRUE(item->userChoose());
        EXPECT_TRUE(item->checked() && *flag);
        item->userChoose();
        EXPECT_FALSE(item->checked() || *flag);
    }
}

// A job speaks FTPS or SFTP, not both: each tick unticks the other of its
// job only.
TEST_F(Menus, FtpsAndSftpTicksExcludeEachOtherPerJob) {
    w().ai_dtls.userChoose();
    w().ai_utls.userChoose();
    w().ai_dsftp.userChoose();
    EXPECT_TRUE(s().downloadSftp && w().ai_dsftp.checked());
    EXPECT_FALSE(s().downloadTls || w().ai_dtls.checked());
    EXPECT_TRUE(s().uploadTls && !s().uploadSftp);
    w().ai_utls.userChoose();
    w().ai_usftp.userChoose();
    w().ai_dtls.userChoose();
    EXPECT_TRUE(s().downloadTls && !s().downloadSftp && !w().ai_dsftp.checked());
    EXPECT_TRUE(s().uploadSftp && !s().uploadTls);
}

TEST_F(Menus, DupeCheckBoxesMirrorIntoState) {
    EXPECT_TRUE(s().downloadDupeCheck);
    EXPECT_TRUE(s().uploadDupeCheck);
    w().Check3.userClick();
    EXPECT_FALSE(s().downloadDupeCheck);
    EXPECT_TRUE(s().uploadDupeCheck);
    w().Check4.userClick();
    EXPECT_FALSE(s().uploadDupeCheck);
    w().Check3.userClick();
    w().Check4.userClick();
    EXPECT_TRUE(s().downloadDupeCheck);
    EXPECT_TRUE(s().uploadDupeCheck);
}

TEST_F(Menus, ScheduleItemsAndLabelsOpenTheTimeDialogForTheirJob) {
    struct Case {
        std::function<bool()> act;
        bool download;
    } cases[] = {
        {[this] { return w().ai_down.userChoose(); }, true},
        {[this] { return w().ai_up.userChoose(); }, false},
        {[this] { return w().Label11.userDoubleClick(); }, true},
        {[this] { return w().Label12.userDoubleClick(); }, false},
    };
    for (auto& c : cases) {
        s().timeDialogMode = !c.download;
        ASSERT_TRUE(c.act());
        EXPECT_EQ(s().timeDialogMode, c.download);
        EXPECT_TRUE(app().form2->isOpen());
        EXPECT_FALSE(w().enabled());
        app().form2->close();
        EXPECT_TRUE(w().enabled());
    }
}

TEST_F(Menus, SetPathAndLabel15OpenTheWorkPathDialog) {
    ASSERT_TRUE(w().ai_path.userChoose());
    EXPECT_TRUE(app().form3->isOpen());
    EXPECT_FALSE(w().enabled());
    app().form3->close();
    ASSERT_TRUE(w().Label15.userDoubleClick());
    EXPECT_TRUE(app().form3->isOpen());
    app().form3->close();
    EXPECT_TRUE(w().enabled());
}

TEST_F(Menus, AboutOpensTheAboutBox) {
    ASSERT_TRUE(w().ai_about.userChoose());
    EXPECT_TRUE(app().form4->isOpen());
    EXPECT_FALSE(w().enabled());
}

TEST_F(Menus, NothingTakesInputWhileADialogIsOpen) {
    w().ai_about.userChoose();
    EXPECT_FALSE(w().ai_hr.userChoose());
    EXPECT_FALSE(w().ai_hr.checked());
    EXPECT_FALSE(w().ai_path.userChoose());
    EXPECT_FALSE(app().form3->isOpen());
    EXPECT_FALSE(w().Label11.userDoubleClick());
    EXPECT_FALSE(app().form2->isOpen());
    EXPECT_FALSE(w().Check3.userClick());
    EXPECT_TRUE(s().downloadDupeCheck);
    app().form4->keyPress(27);
    EXPECT_TRUE(w().ai_hr.userChoose());
    EXPECT_TRUE(w().ai_hr.checked());
}

TEST_F(Menus, ExitNowEndsTheProgramAndSavesTheFiles) {
    w().Text1.userSetText("saved.example");
    try {
        w().ai_exit.userChoose();
        FAIL() << "the program did not end";
    } catch (const ProgramEnded& e) {
        EXPECT_EQ(e.status, 0);
    }
    EXPECT_TRUE(s().shuttingDown);
    EXPECT_TRUE(s().exitNow);
    EXPECT_NE(dir.read("values.log").find("\"saved.example\""), std::string::npos);
    EXPECT_EQ(dir.read("pather.log"), dir.path() + "\r\n");
}

TEST_F(Menus, ExitNowGoesThroughWhileASessionRuns) {
    s().downloadRunning = true;
    w().setCaption("Ftp Corvantel - Downloading");
    EXPECT_TRUE(w().userClose());
    EXPECT_EQ(minimised, 1);
    EXPECT_FALSE(s().shuttingDown);
    EXPECT_THROW(w().ai_exit.userChoose(), ProgramEnded);
    EXPECT_TRUE(dir.exists("values.log"));
}

}  // namespace
}  // namespace corvantel::testing

// Arming, the minute clocks, moving a schedule on, and the time dialog.

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "app/text.h"
#include "schedule/schedule.h"
#include "schedule/time_dialog.h"
#include "support/app_fixture.h"
#include "support/fake_ftp_server.h"

namespace corvantel::testing {
namespace {

TEST(AdvanceHour, Table) {
    struct Case {
        const char *h, *a, *hour, *half;
    } cases[] = {
        {"11", "AM", "12", "PM"}, {"12", "PM", "1", "PM"}, {"11", "PM", "12", "AM"},
        {"12", "AM", "1", "AM"},  {"5", "PM", "6", "PM"},  {"05", "AM", "6", "AM"},
    };
    for (auto& c : cases) {
        std::string hour = c.h, half = c.a;
        advanceHour(hour, half, c.h, c.a);
        EXPECT_EQ(hour, c.hour) << c.h << c.a;
        EXPECT_EQ(half, c.half) << c.h << c.a;
    }
}

TEST(DaySuffix, Table) {
    const char* days[] = {"1", "2", "3", "11", "12", "13", "21", "22", "23", "31", "4"};
    const char* want[] = {"st", "nd", "rd", "th", "th", "th", "st", "nd", "rd", "st", "th"};
    for (int i = 0; i < 11; ++i) EXPECT_EQ(daySuffix(days[i]), want[i]) << days[i];
}

class Schedule : public AppTest {
protected:
    void SetUp() override {
        server.files["a.jpg"] = "aaaa";
        start();
        fillJobs();
    }
    int logins() const {
        int n = 0;
        for (auto& c : server.commands) n += c.rfind("USER ", 0) == 0;
        return n;
    }
    FakeFtpServer server{plat};
};

TEST_F(Schedule, ArmingChecksFieldsWithMessages) {
    w().fText3.setText("");
    w().Check1.userClick();
    EXPECT_FALSE(w().Check1.checked());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "One or more fields are empty or incorrect");
    EXPECT_EQ(w().Label11.caption(), "1AM InActive");
    EXPECT_FALSE(w().Timer1->enabled());

    w().fText3.setText("u");
    w().Check1.userClick();
    EXPECT_TRUE(w().Check1.checked());
    EXPECT_TRUE(w().Timer1->enabled());
    EXPECT_EQ(w().Label11.caption(), "1AM Active");
    EXPECT_EQ(s().downloadActiveText, "Active");
}

TEST_F(Schedule, NonNumericPortIsRefusedOnArming) {
    // The port rule rewrites a bad port at once; a port can only be bad here
    // when the rule has not run (a value set before the handlers existed).
    w().Text9.onChange = nullptr;
    w().Text9.setText("21x");
    w().Check1.userClick();
    EXPECT_FALSE(w().Check1.checked());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Port must be Numeric");
}

TEST_F(Schedule, DailyModeRunsOnceAtItsHourAndAgainTheNextDay) {
    plat.setLocalTime(2026, 12, 7, 16, 30, 0);
    s().downloadHour = "5";
    s().downloadAmPm = "PM";
    w().Check1.userClick();
    plat.runFor(29LL * 60 * 1000);  // to 16:59: not yet
    EXPECT_EQ(logins(), 0);
    plat.runFor(62LL * 60 * 1000);  // through the 17 o'clock hour
    EXPECT_EQ(logins(), 1);
    EXPECT_EQ(s().downloadLastRunDate, "20261207");
    plat.runFor(23LL * 3600 * 1000);  // to the next day's 17 o'clock hour
    EXPECT_EQ(logins(), 2);
}

TEST_F(Schedule, RearmingTheSameDayLetsItRunAgain) {
    plat.setLocalTime(2026, 12, 7, 1, 0, 30);
    w().Check1.userClick();
    plat.runFor(2 * 60 * 1000);
    EXPECT_EQ(logins(), 1);
    w().Check1.userClick();
    w().Check1.userClick();
    EXPECT_EQ(s().downloadLastRunDate, "20000101");
    plat.runFor(2 * 60 * 1000);
    EXPECT_EQ(logins(), 2);
}

TEST_F(Schedule, EveryHourModeMovesTheLabelOn) {
    plat.setLocalTime(2026, 12, 7, 10, 59, 30);
    s().downloadHour = "11";
    s().downloadAmPm = "AM";
    w().ai_hr.userChoose();
    w().Check1.userClick();
    plat.runFor(2 * 60 * 1000);
    EXPECT_EQ(logins(), 1);
    EXPECT_EQ(w().Label11.caption(), "12PM Active");
    plat.runFor(60 * 60 * 1000);
    EXPECT_EQ(logins(), 2);
    EXPECT_EQ(w().Label11.caption(), "1PM Active");
}

TEST_F(Schedule, JobKeptFromItsHourMovesOnInTheLastMinute) {
    plat.setLocalTime(2026, 12, 7, 9, 0, 10);
    s().downloadHour = "9";
    s().downloadAmPm = "AM";
    s().uploadRunning = true;  // the other job holds the hour
    w().Check1.userClick();
    plat.runFor(60LL * 60 * 1000);
    EXPECT_EQ(logins(), 0);
    EXPECT_EQ(w().Label11.caption(), "10AM Active");
    s().uploadRunning = false;
    plat.runFor(2 * 60 * 1000);
    EXPECT_EQ(logins(), 1);
}

TEST_F(Schedule, TimeDialogSetsTheChosenJob) {
    w().ai_up.userChoose();
    ASSERT_TRUE(app().form2->isOpen());
    EXPECT_FALSE(w().enabled());
    EXPECT_EQ(app().form2->caption(), "Upload Time");
    EXPECT_EQ(s().uploadHour, "1");
    app().form2->pickHour(4);
    app().form2->pickHalf(1);
    app().form2->keyPress(13);
    EXPECT_TRUE(w().enabled());
    EXPECT_EQ(s().uploadHour, "5");
    EXPECT_EQ(s().uploadAmPm, "PM");
    EXPECT_EQ(w().Label12.caption(), "5PM InActive");

    // Esc right after opening leaves 1 AM.
    w().Check1.userClick();
    w().Label11.userDoubleClick();
    EXPECT_EQ(app().form2->caption(), "Download Time");
    app().form2->keyPress(27);
    EXPECT_EQ(w().Label11.caption(), "1AM Active");
}

TEST_F(Schedule, FieldsAreLockedWhileASessionRuns) {
    bool lockedDuring = false;
    server.override = [&](const std::string& line) -> std::string {
        if (line.rfind("USER", 0) == 0) lockedDuring = !w().Text1.enabled() && !w().ai_type.enabled();
        return "";
    };
    startDownloadNow(app());
    EXPECT_TRUE(lockedDuring);
    EXPECT_TRUE(w().Text1.enabled());
    EXPECT_TRUE(w().ai_type.enabled());
}

}  // namespace
}  // namespace corvantel::testing

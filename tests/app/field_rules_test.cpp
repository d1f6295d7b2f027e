// The change handling of the job fields: trim, the anonymous rule, the port
// and retries rules, and the checks that disarm a job with an empty field.

#include <gtest/gtest.h>

#include "app/fields.h"
#include "support/app_fixture.h"

namespace corvantel::testing {
namespace {

class FieldRules : public AppTest {
protected:
    void SetUp() override { start(); }

    // Arms a job the way the user does and makes sure its minute clock runs,
    // so that a disarm is visible on both.
    void armDownload() {
        w().Check1.setChecked(true);
        w().Timer1->setEnabled(true);
        ASSERT_TRUE(w().Check1.checked());
    }
    void armUpload() {
        w().Check2.setChecked(true);
        w().Timer2->setEnabled(true);
        ASSERT_TRUE(w().Check2.checked());
    }
};

TEST_F(FieldRules, TrimRemovesOuterSpacesOnlyForEveryJobField) {
    platform::TextBox* fields[] = {&w().Text1, &w().Text2, &w().Text7, &w().Text3, &w().Text6, &w().Text8};
    for (auto* f : fields) {
        SCOPED_TRACE(f->name());
        ASSERT_TRUE(f->userSetText("  a b  "));
        EXPECT_EQ(f->text(), "a b");
        f->userSetText("host ");
        EXPECT_EQ(f->text(), "host");
    }
    // User fields are trimmed too.
    w().fText3.userSetText(" bob ");
    EXPECT_EQ(w().fText3.text(), "bob");
    w().Text4.userSetText(" carol");
    EXPECT_EQ(w().Text4.text(), "carol");
    // And so are the passwords once the user is not anonymous.
    w().fText4.userSetText(" pw ");
    EXPECT_EQ(w().fText4.text(), "pw");
    w().Text5.userSetText("pw2 ");
    EXPECT_EQ(w().Text5.text(), "pw2");
}

TEST_F(FieldRules, TrimLeavesAllBlankTextEmptyAndRetriesUntrimmed) {
    w().Text7.userSetText("   ");
    EXPECT_EQ(w().Text7.text(), "");
    // The retries fields are not trimmed.
    w().Text11.userSetText(" 3 ");
    EXPECT_EQ(w().Text11.text(), " 3 ");
}

TEST_F(FieldRules, AnonymousUserForcesTheDefaultPassword) {
    // Start-up leaves both jobs anonymous with the default address.
    EXPECT_EQ(w().fText4.text(), defaultAnonymousPassword);
    EXPECT_EQ(w().Text5.text(), defaultAnonymousPassword);

    w().fText4.userSetText("secret");
    EXPECT_EQ(w().fText4.text(), defaultAnonymousPassword);
    w().Text5.userSetText("secret");
    EXPECT_EQ(w().Text5.text(), defaultAnonymousPassword);
    w().fText4.userSetText("");
    EXPECT_EQ(w().fText4.text(), defaultAnonymousPassword);
}

TEST_F(FieldRules, AnonymousRuleIsExactAndLowerCase) {
    w().fText3.userSetText("Anonymous");
    w().fText4.userSetText("mine");
    EXPECT_EQ(w().fText4.text(), "mine");
    w().Text4.userSetText("ANONYMOUS");
    w().Text5.userSetText("also mine");
    EXPECT_EQ(w().Text5.text(), "also mine");

    // Typing the user back to "anonymous" (with blanks, trimmed) replaces
    // the password at once.
    w().fText3.userSetText(" anonymous ");
    EXPECT_EQ(w().fText3.text(), "anonymous");
    EXPECT_EQ(w().fText4.text(), defaultAnonymousPassword);
    w().Text4.userSetText("anonymous");
    EXPECT_EQ(w().Text5.text(), defaultAnonymousPassword);
}

TEST_F(FieldRules, AnonymousRuleOfOneJobLeavesTheOtherAlone) {
    w().Text4.userSetText("bob");
    w().Text5.userSetText("upload-secret");
    w().fText4.userSetText("x");  // download still anonymous
    EXPECT_EQ(w().fText4.text(), defaultAnonymousPassword);
    EXPECT_EQ(w().Text5.text(), "upload-secret");
}

TEST_F(FieldRules, PortRuleKeepsANumberInThePortFields) {
    for (auto* port : {&w().Text9, &w().Text10}) {
        SCOPED_TRACE(port->name());
        port->userSetText("");
        EXPECT_EQ(port->text(), "21");
        port->userSetText("0021");
        EXPECT_EQ(port->text(), "0021");
        port->userSetText("x21");
        EXPECT_EQ(port->text(), "21");
        port->userSetText("2121");
        port->userSetText("21x");
        EXPECT_EQ(port->text(), "21");
        port->userSetText(" 990 ");
        EXPECT_EQ(port->text(), "990");
        port->userSetText("21.5");
        EXPECT_EQ(port->text(), "21.5");
        port->userSetText("-");
        EXPECT_EQ(port->text(), "21");
    }
}

TEST_F(FieldRules, RetriesRuleBringsOutOfRangeNumbersToOne) {
    for (auto* retries : {&w().Text11, &w().Text12}) {
        SCOPED_TRACE(retries->name());
        const std::pair<const char*, const char*> cases[] = {
            {"5", "1"},     {"-1", "1"},  {"4", "4"},         {"0", "0"},     {"2.5", "2.5"},
            {"abc", "abc"}, {"", ""},     {"4.0001", "1"},    {"-0.5", "1"},  {" 7", "1"},
            {"1e400", "1"}, {"-1e400", "1"}, {"3e0", "3e0"}, {"4x", "4x"},
        };
        for (auto [typed, expected] : cases) {
            retries->userSetText("2");
            retries->userSetText(typed);
            EXPECT_EQ(retries->text(), expected) << "typed '" << typed << "'";
        }
    }
}

TEST_F(FieldRules, EmptyDownloadFieldDisarmsTheDownloadJobOnly) {
    w().fText3.userSetText("bob");  // so the password can be cleared
    platform::TextBox* fields[] = {&w().Text1, &w().fText3, &w().fText4, &w().Text2, &w().Text7};
    for (auto* f : fields) {
        SCOPED_TRACE(f->name());
        const std::string before = f->text();
        armDownload();
        armUpload();
        f->userSetText("");
        EXPECT_FALSE(w().Check1.checked());
        EXPECT_FALSE(w().Timer1->enabled());
        EXPECT_TRUE(w().Check2.checked());
        EXPECT_TRUE(w().Timer2->enabled());
        f->userSetText(before);
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(FieldRules, EmptyUploadFieldDisarmsTheUploadJobOnly) {
    w().Text4.userSetText("bob");
    platform::TextBox* fields[] = {&w().Text3, &w().Text4, &w().Text5, &w().Text6, &w().Text8};
    for (auto* f : fields) {
        SCOPED_TRACE(f->name());
        const std::string before = f->text();
        armDownload();
        armUpload();
        f->userSetText("");
        EXPECT_FALSE(w().Check2.checked());
        EXPECT_FALSE(w().Timer2->enabled());
        EXPECT_TRUE(w().Check1.checked());
        EXPECT_TRUE(w().Timer1->enabled());
        f->userSetText(before);
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(FieldRules, ClearingThePathOfAnArmedJobDisarmsItSilently) {
    ASSERT_TRUE(w().Check1.userClick());
    ASSERT_TRUE(w().Check1.checked());
    ASSERT_TRUE(w().Timer1->enabled());
    w().Text2.userSetText("");
    EXPECT_FALSE(w().Check1.checked());
    EXPECT_FALSE(w().Timer1->enabled());
    const std::string label = w().Label11.caption();
    EXPECT_EQ(label.substr(label.size() - 9), " InActive");
    EXPECT_TRUE(messages.empty());
}

TEST_F(FieldRules, FieldsThatRuleThemselvesBackNeverDisarm) {
    armDownload();
    armUpload();
    // A cleared port becomes "21" before the check looks at it; a cleared
    // anonymous password gets the default back.
    w().Text9.userSetText("");
    w().Text10.userSetText("");
    w().fText4.userSetText("");
    w().Text5.userSetText("");
    EXPECT_TRUE(w().Check1.checked());
    EXPECT_TRUE(w().Timer1->enabled());
    EXPECT_TRUE(w().Check2.checked());
    EXPECT_TRUE(w().Timer2->enabled());
    // Editing a field to another non-empty text keeps the job armed.
    w().Text1.userSetText("other.example");
    w().Text8.userSetText("*.csv");
    EXPECT_TRUE(w().Check1.checked());
    EXPECT_TRUE(w().Check2.checked());
    // The retries fields are not connection fields.
    w().Text11.userSetText("");
    w().Text12.userSetText("");
    EXPECT_TRUE(w().Check1.checked());
    EXPECT_TRUE(w().Check2.checked());
}

TEST_F(FieldRules, ChecksCalledDirectlyActOnlyOnAnEmptyField) {
    armDownload();
    armUpload();
    checkDownloadFields(app());
    checkUploadFields(app());
    EXPECT_TRUE(w().Check1.checked());
    EXPECT_TRUE(w().Check2.checked());

    // A program change that bypasses the handler, then the check.
    auto handler = std::move(w().Text6.onChange);
    w().Text6.onChange = nullptr;
    w().Text6.setText("");
    w().Text6.onChange = std::move(handler);
    checkDownloadFields(app());
    EXPECT_TRUE(w().Check2.checked());
    checkUploadFields(app());
    EXPECT_FALSE(w().Check2.checked());
    EXPECT_FALSE(w().Timer2->enabled());
    EXPECT_TRUE(w().Check1.checked());
}

TEST_F(FieldRules, FieldsTakeNoInputWhileTheWindowIsUnavailable) {
    w().setEnabled(false);
    EXPECT_FALSE(w().Text1.userSetText("elsewhere"));
    EXPECT_EQ(w().Text1.text(), defaultHostName);
    w().setEnabled(true);
    EXPECT_TRUE(w().Text1.userSetText("elsewhere"));
    EXPECT_EQ(w().Text1.text(), "elsewhere");
}

}  // namespace
}  // namespace corvantel::testing

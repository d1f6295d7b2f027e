// The settings file: stored passwords, the field reader, writing the file,
// reading it back, and hand-edited files.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/settings.h"
#include "support/app_fixture.h"

namespace corvantel::testing {
namespace {

using platform::fake::ProgramEnded;
namespace fs = std::filesystem;

std::string q(const std::string& text) { return "\"" + text + "\""; }

std::string rec(const std::string& host, const std::string& user, const std::string& field3,
                const std::string& path, const std::string& pattern, const std::string& port) {
    return q(host) + "," + q(user) + "," + field3 + "," + q(path) + "," + q(pattern) + "," + q(port) + "\r\n";
}

std::string defaultFile() {
    return rec("ftp.gnu.org", "anonymous", q(defaultAnonymousPassword), "/tmp", "*.jpg", "21") +
           rec("ftp.gnu.org", "anonymous", q(defaultAnonymousPassword), "/tmp", "*.txt", "21");
}

std::vector<std::string> allFields(const std::string& text) {
    FieldReader r(text);
    std::vector<std::string> out;
    while (auto f = r.next()) out.push_back(*f);
    return out;
}

// ---------------------------------------------------------------- passwords

TEST(StoredPassword, RaisesEachCodeByItsPosition) {
    EXPECT_EQ(encodePassword("abc", "Bob"), "bdf");
    EXPECT_EQ(decodePassword("bdf", "Bob"), "abc");
    EXPECT_EQ(encodePassword("", "Bob"), "");
    EXPECT_EQ(decodePassword("", "Bob"), "");
    EXPECT_EQ(encodePassword("aaaa", "x"), "bcde");
    // An exclamation mark first becomes the double quote.
    EXPECT_EQ(encodePassword("!x", "Bob"), "\"z");
}

TEST(StoredPassword, AnonymousUserKeepsThePasswordUnchangedInAnyCase) {
    for (const char* user : {"anonymous", "ANONYMOUS", "Anonymous"}) {
        SCOPED_TRACE(user);
        EXPECT_EQ(encodePassword("abc", user), "abc");
        EXPECT_EQ(decodePassword("bdf", user), "bdf");
        // No shift, so no limit either.
        EXPECT_EQ(encodePassword("\xff\xff", user), "\xff\xff");
        EXPECT_EQ(decodePassword(std::string(1, '\0'), user), std::string(1, '\0'));
    }
    // The test is made without trimming.
    EXPECT_EQ(encodePassword("abc", " anonymous"), "bdf");
}

TEST(StoredPassword, CodesAreBytesAndStayWithinOneByte) {
    // The highest code that still fits at each position.
    EXPECT_EQ(encodePassword("\xfe", "Bob"), "\xff");
    EXPECT_EQ(encodePassword("a\xfd", "Bob"), "b\xff");
    EXPECT_EQ(encodePassword("\xff", "Bob"), std::nullopt);
    EXPECT_EQ(encodePassword("ab\xfd", "Bob"), std::nullopt);
    // A UTF-8 password is just its bytes: e-acute is C3 A9.
    EXPECT_EQ(encodePassword("\xc3\xa9", "Bob"), "\xc4\xab");
    EXPECT_EQ(decodePassword("\xc4\xab", "Bob"), "\xc3\xa9");
    // Lowering below 0 has no password.
    EXPECT_EQ(decodePassword(std::string(1, '\0'), "Bob"), std::nullopt);
    EXPECT_EQ(decodePassword("b\x01", "Bob"), std::nullopt);
    EXPECT_EQ(decodePassword("\x01", "Bob"), std::string(1, '\0'));
}

TEST(StoredPassword, EveryEncodablePasswordDecodesBack) {
    for (int c = 0; c < 256; ++c) {
        for (std::size_t pos = 0; pos < 3; ++pos) {
            std::string pw(pos, 'a');
            pw += static_cast<char>(c);
            auto stored = encodePassword(pw, "Bob");
            if (c + static_cast<int>(pos) + 1 > 255) {
                EXPECT_FALSE(stored) << c << " at " << pos;
                continue;
            }
            ASSERT_TRUE(stored) << c << " at " << pos;
            EXPECT_EQ(decodePassword(*stored, "Bob"), pw);
        }
    }
}

// ------------------------------------------------------------- field reader

TEST(FieldReading, QuotedAndUnquotedFields) {
    EXPECT_EQ(allFields("\"a,b\",c , d \r\n\"e\"\r\n"),
              (std::vector<std::string>{"a,b", "c", "d", "e"}));
    // Blanks inside quotes stay; blanks before the opening quote go.
    EXPECT_EQ(allFields("   \" x \",y"), (std::vector<std::string>{" x ", "y"}));
    // What follows a closing quote up to the comma is dropped.
    EXPECT_EQ(allFields("\"ab\"cd,\"e\" junk\r\nf"), (std::vector<std::string>{"ab", "e", "f"}));
    // An unquoted field keeps a quote that is not its first character.
    EXPECT_EQ(allFields("a\"b,c"), (std::vector<std::string>{"a\"b", "c"}));
}

TEST(FieldReading, EmptyFieldsAndLineEnds) {
    EXPECT_EQ(allFields("a,,b"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(allFields("\"\",\"\""), (std::vector<std::string>{"", ""}));
    // LF, CR LF and a lone CR each end a field.
    EXPECT_EQ(allFields("a\nb\r\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    // A blank line is an empty field.
    EXPECT_EQ(allFields("a\r\n\r\nb\r\n"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_TRUE(allFields("").empty());
    EXPECT_EQ(allFields("\r\n"), (std::vector<std::string>{""}));
}

TEST(FieldReading, QuotedFieldRunsToTheNextQuote) {
    // Line ends inside quotes belong to the field.
    EXPECT_EQ(allFields("\"a\r\nb\",c"), (std::vector<std::string>{"a\r\nb", "c"}));
    // A quote that never closes takes the rest of the text.
    EXPECT_EQ(allFields("x,\"open,y\r\nz"), (std::vector<std::string>{"x", "open,y\r\nz"}));
}

TEST(FieldReading, BinaryBytesAreKept) {
    const std::string bin("\x00\x01\xff", 3);
    EXPECT_EQ(allFields(bin + "," + q(bin)), (std::vector<std::string>{bin, bin}));
}

// ------------------------------------------------------------------ saving

class SettingsFile : public AppTest {
protected:
    void restart() {
        app_.reset();
        start();
    }
    void setDownload(const std::string& user, const std::string& password) {
        w().fText3.userSetText(user);
        w().fText4.userSetText(password);
    }
    void setUpload(const std::string& user, const std::string& password) {
        w().Text4.userSetText(user);
        w().Text5.userSetText(password);
    }
};

TEST_F(SettingsFile, DefaultsAreWrittenAsTwoQuotedRecords) {
    start();
    saveSettings(app());
    EXPECT_EQ(dir.read("values.log"), defaultFile());
}

TEST_F(SettingsFile, FileIsKeptToItsOwner) {
    start();
    saveSettings(app());
    auto perms = fs::status(dir.file("values.log")).permissions();
    EXPECT_EQ(perms & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    // No temporary is left beside it.
    for (auto& e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find("values.log."), std::string::npos) << e.path();
}

TEST_F(SettingsFile, PasswordOfANamedUserIsLeftOutWithoutRecallPass) {
    start();
    setDownload("Bob", "abc");
    setUpload("carol", "xyz");
    saveSettings(app());
    EXPECT_EQ(dir.read("values.log"), rec("ftp.gnu.org", "Bob", "", "/tmp", "*.jpg", "21") +
                                          rec("ftp.gnu.org", "carol", "", "/tmp", "*.txt", "21"));
    restart();
    EXPECT_EQ(w().fText3.text(), "Bob");
    EXPECT_EQ(w().fText4.text(), "");
    EXPECT_EQ(w().Text4.text(), "carol");
    EXPECT_EQ(w().Text5.text(), "");
}

TEST_F(SettingsFile, RecallPassStoresTheShiftedFormAndRestoresIt) {
    start();
    setDownload("Bob", "abc");
    setUpload("carol", "\xc3\xa9t\xc3\xa9");  // a UTF-8 password
    ASSERT_TRUE(w().ai_pass.userChoose());
    saveSettings(app());
    EXPECT_EQ(dir.read("values.log"),
              rec("ftp.gnu.org", "Bob", q("bdf"), "/tmp", "*.jpg", "21") +
                  rec("ftp.gnu.org", "carol", q("\xc4\xabw\xc7\xae"), "/tmp", "*.txt", "21"));
    restart();
    EXPECT_EQ(w().fText4.text(), "abc");
    EXPECT_EQ(w().Text5.text(), "\xc3\xa9t\xc3\xa9");
    // Options are not saved.
    EXPECT_FALSE(w().ai_pass.checked());
    EXPECT_FALSE(s().recallPassword);
}

TEST_F(SettingsFile, UserInCapitalsCountsAsAnonymous) {
    start();
    setDownload("ANONYMOUS", "me@home");
    saveSettings(app());
    const std::string text = dir.read("values.log");
    EXPECT_EQ(text.substr(0, text.find("\r\n") + 2), rec("ftp.gnu.org", "ANONYMOUS", q("me@home"), "/tmp", "*.jpg", "21"));
    restart();
    EXPECT_EQ(w().fText3.text(), "ANONYMOUS");
    EXPECT_EQ(w().fText4.text(), "me@home");
}

TEST_F(SettingsFile, PasswordWithNoStoredFormIsLeftOut) {
    start();
    setDownload("Bob", "ok\xfe");  // third byte raised by 3 passes 255
    setUpload("carol", "fine");
    w().ai_pass.userChoose();
    saveSettings(app());
    EXPECT_EQ(dir.read("values.log"), rec("ftp.gnu.org", "Bob", "", "/tmp", "*.jpg", "21") +
                                          rec("ftp.gnu.org", "carol", q("gkqi"), "/tmp", "*.txt", "21"));
}

TEST_F(SettingsFile, PasswordStartingWithAnExclamationMarkIsWrittenUnescaped) {
    start();
    setDownload("Bob", "!ab");
    w().ai_pass.userChoose();
    saveSettings(app());
    const std::string text = dir.read("values.log");
    EXPECT_EQ(text.substr(0, text.find("\r\n") + 2),
              rec("ftp.gnu.org", "Bob", q("\"ce"), "/tmp", "*.jpg", "21"));
}

TEST_F(SettingsFile, PasswordWithALineEndInItsStoredFormComesBack) {
    // A tab first is stored as a line feed, inside the quotes.
    start();
    setDownload("Bob", "\tz");
    w().ai_pass.userChoose();
    saveSettings(app());
    restart();
    EXPECT_EQ(w().fText4.text(), "\tz");
    EXPECT_EQ(w().Text2.text(), "/tmp");
    EXPECT_EQ(w().Text10.text(), "21");
}

TEST_F(SettingsFile, FailedSaveLeavesThePreviousFile) {
    start();
    saveSettings(app());
    const std::string before = dir.read("values.log");
    // The file has been replaced by a link: the save is refused, and neither
    // the link nor what it points to is written.
    fs::rename(dir.file("values.log"), dir.file("elsewhere"));
    fs::create_symlink(dir.file("elsewhere"), dir.file("values.log"));
    // A link planted under the temporary's old fixed name is not written through either.
    dir.write("victim", "kept");
    fs::create_symlink(dir.file("victim"), dir.file("values.log.tmp"));
    std::vector<std::string> refused;
    platform::files::setRefusalSink([&](const std::string& text) { refused.push_back(text); });
    setDownload("Bob", "secret");
    w().ai_pass.userChoose();
    saveSettings(app());
    platform::files::setRefusalSink(nullptr);
    EXPECT_TRUE(fs::is_symlink(dir.file("values.log")));
    EXPECT_EQ(dir.read("elsewhere"), before);
    EXPECT_EQ(dir.read("victim"), "kept");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find("values.log': it is a symbolic link"), std::string::npos) << refused[0];
}

// ------------------------------------------------------------------ loading

TEST_F(SettingsFile, LoadRunsTheFieldRules) {
    dir.write("values.log", rec(" h ", " Bob ", "", "  /in  ", "*.jpg", "x21") +
                                rec("up", "anonymous", q("whatever"), "/out", "*.txt", " 2121 "));
    start();
    EXPECT_EQ(w().Text1.text(), "h");
    EXPECT_EQ(w().fText3.text(), "Bob");
    EXPECT_EQ(w().Text2.text(), "/in");
    EXPECT_EQ(w().Text9.text(), "21");
    EXPECT_EQ(w().Text3.text(), "up");
    EXPECT_EQ(w().Text5.text(), defaultAnonymousPassword);
    EXPECT_EQ(w().Text10.text(), "2121");
}

TEST_F(SettingsFile, FileCutShortAssignsNothing) {
    const std::string full = rec("h1", "Bob", q("bdf"), "/in", "*.a", "2021") +
                             rec("h2", "carol", q("bdf"), "/out", "*.b", "2022");
    for (const std::string& text : {std::string(), std::string("\r\n"), full.substr(0, full.find("\r\n") + 2),
                                    full.substr(0, full.rfind(','))}) {
        SCOPED_TRACE(text);
        app_.reset();
        dir.write("values.log", text);
        start();
        EXPECT_EQ(w().Text1.text(), defaultHostName);
        EXPECT_EQ(w().fText3.text(), "anonymous");
        EXPECT_EQ(w().fText4.text(), defaultAnonymousPassword);
        EXPECT_EQ(w().Text9.text(), "21");
        EXPECT_EQ(w().Text3.text(), defaultHostName);
    }
}

TEST_F(SettingsFile, HandEditedFileWithLineFeedsAndBareFields) {
    dir.write("values.log", "host1, Bob ,\"bdf\",/in,*.a,2021\nhost2,carol,,/out,\"*.b\"  trailing,2022\n");
    start();
    EXPECT_EQ(w().Text1.text(), "host1");
    EXPECT_EQ(w().fText3.text(), "Bob");
    EXPECT_EQ(w().fText4.text(), "abc");
    EXPECT_EQ(w().Text2.text(), "/in");
    EXPECT_EQ(w().Text7.text(), "*.a");
    EXPECT_EQ(w().Text9.text(), "2021");
    EXPECT_EQ(w().Text3.text(), "host2");
    EXPECT_EQ(w().Text4.text(), "carol");
    EXPECT_EQ(w().Text5.text(), "");
    EXPECT_EQ(w().Text8.text(), "*.b");
    EXPECT_EQ(w().Text10.text(), "2022");
}

TEST_F(SettingsFile, StrayQuoteThatNeverClosesAssignsNothing) {
    dir.write("values.log", "\"h1\",\"Bob,\"\"bdf\",\"/in\",\"*.a\",\"21\r\n\"h2\",\"carol\",,\"/out\r\n");
    start();
    EXPECT_EQ(w().Text1.text(), defaultHostName);
    EXPECT_EQ(w().Text4.text(), "anonymous");
}

TEST_F(SettingsFile, ExtraRecordsAreIgnored) {
    dir.write("values.log", rec("h1", "u1", "", "/a", "*.a", "1") + rec("h2", "u2", "", "/b", "*.b", "2") +
                                rec("h3", "u3", "", "/c", "*.c", "3"));
    start();
    EXPECT_EQ(w().Text1.text(), "h1");
    EXPECT_EQ(w().Text3.text(), "h2");
    EXPECT_EQ(w().Text10.text(), "2");
}

TEST_F(SettingsFile, BinaryBytesAndVeryLongFieldsLoadWithoutHarm) {
    const std::string bin("b\x00\x7f\xff", 4);
    const std::string longHost(200000, 'h');
    dir.write("values.log", rec(longHost, bin, "", "/a", "*.a", bin) + rec("h2", "u2", "", "/b", "*.b", "21"));
    start();
    EXPECT_EQ(w().Text1.text(), longHost);
    EXPECT_EQ(w().fText3.text(), bin);
    EXPECT_EQ(w().Text9.text(), "21");  // not a number: the port rule applies
    EXPECT_EQ(w().Text4.text(), "u2");
}

TEST_F(SettingsFile, HugeFileIsReadOnlyInPart) {
    // Twelve good fields, then megabytes of junk: the fields load.
    std::string text = rec("h1", "u1", "", "/a", "*.a", "1") + rec("h2", "u2", "", "/b", "*.b", "2");
    text += std::string(8 << 20, 'x');
    dir.write("values.log", text);
    start();
    EXPECT_EQ(w().Text1.text(), "h1");
    EXPECT_EQ(w().Text10.text(), "2");

    // Megabytes without one field end: nothing is assigned.
    app_.reset();
    dir.write("values.log", "\"" + std::string(8 << 20, 'x'));
    start();
    EXPECT_EQ(w().Text1.text(), defaultHostName);
}

TEST_F(SettingsFile, StoredPasswordThatDoesNotDecodeLeavesTheFieldEmpty) {
    // "\x01\x01": the second code lowered by 2 falls below 0.
    dir.write("values.log", rec("h1", "Bob", q("\x01\x01"), "/a", "*.a", "21") +
                                rec("h2", "carol", q("bdf"), "/b", "*.b", "21"));
    start();
    EXPECT_EQ(w().fText4.text(), "");
    // The other job's password is still restored.
    EXPECT_EQ(w().Text5.text(), "abc");
    EXPECT_EQ(w().Text6.text(), "/b");
}

TEST_F(SettingsFile, DecodeUsesTheUserReadFromTheFile) {
    dir.write("values.log", rec("h1", "ANONYMOUS", q("bdf"), "/a", "*.a", "21") +
                                rec("h2", "anonymous", q("bdf"), "/b", "*.b", "21"));
    start();
    EXPECT_EQ(w().fText4.text(), "bdf");
    EXPECT_EQ(w().Text5.text(), defaultAnonymousPassword);
}

TEST_F(SettingsFile, UnreadableFileKeepsTheDefaultsAndTheCloseStillEnds) {
    fs::create_directory(dir.file("values.log"));
    start();
    EXPECT_EQ(w().Text1.text(), defaultHostName);
    EXPECT_EQ(w().Text10.text(), "21");
    // The save cannot replace a directory; the program ends all the same.
    EXPECT_THROW(app().chooseExitNow(), ProgramEnded);
    EXPECT_TRUE(fs::is_directory(dir.file("values.log")));
    EXPECT_EQ(dir.read("pather.log"), dir.path() + "\r\n");
}

TEST_F(SettingsFile, ScheduleAndOptionsAreNotPartOfTheFile) {
    dir.write("values.log", rec("h1", "u1", "", "/a", "*.a", "21") + rec("h2", "u2", "", "/b", "*.b", "21"));
    start();
    EXPECT_EQ(s().downloadHour, "1");
    EXPECT_EQ(s().downloadAmPm, "AM");
    EXPECT_EQ(s().uploadHour, "3");
    EXPECT_EQ(s().uploadAmPm, "AM");
    EXPECT_FALSE(w().Check1.checked());
    EXPECT_FALSE(w().Check2.checked());
    EXPECT_FALSE(w().Timer1->enabled());
    EXPECT_FALSE(w().Timer2->enabled());
}

TEST_F(SettingsFile, HandWrittenFileIsNormalisedByAStartAndAClose) {
    dir.write("values.log", rec("  files.example  ", "Bob", q("bdf"), "/in", "*.jpg", "x21") +
                                rec("up.example", "anonymous", q("not-the-default"), "/out", "*.txt", "21"));
    start();
    EXPECT_EQ(w().fText4.text(), "abc");
    try {
        app().chooseExitNow();
        FAIL() << "the program did not end";
    } catch (const ProgramEnded&) {
    }
    EXPECT_EQ(dir.read("values.log"),
              rec("files.example", "Bob", "", "/in", "*.jpg", "21") +
                  rec("up.example", "anonymous", q(defaultAnonymousPassword), "/out", "*.txt", "21"));
}

}  // namespace
}  // namespace corvantel::testing

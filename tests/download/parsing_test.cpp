// Tables of what servers send and what the session reads from it: reply
// assembly, the announced size, listing selection in both modes, the PORT
// argument.

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "download/commands.h"
#include "download/reply_assembler.h"
#include "download/retrieval.h"
#include "download/selection.h"
#include "support/app_fixture.h"

namespace corvantel::testing {
namespace {

std::vector<std::string> assemble(const std::vector<std::string>& pieces) {
    ReplyAssembler a;
    std::vector<std::string> out;
    for (auto& p : pieces) {
        a.feed(p);
        while (auto r = a.next()) out.push_back(*r);
    }
    return out;
}

TEST(ReplyAssembler, SplitsRepliesThatArriveTogether) {
    auto r = assemble({"150 Opening (512 bytes).\r\n226 Transfer complete.\r\n"});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], "150 Opening (512 bytes).\r\n");
    EXPECT_EQ(r[1], "226 Transfer complete.\r\n");
}

TEST(ReplyAssembler, MultiLineReplyIsOneReply) {
    auto r = assemble({"220-Welcome\r\n220-second line\r\n  indented 230 text\r\n220 Ready.\r\n331 User ok\r\n"});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], "220-Welcome\r\n220-second line\r\n  indented 230 text\r\n220 Ready.\r\n");
    EXPECT_EQ(replyCode(r[1]), "331");
}

TEST(ReplyAssembler, PartialReplyWaitsForItsRest) {
    auto r = assemble({"22", "6 Transfer", " complete.\r", "\n"});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], "226 Transfer complete.\r\n");
    EXPECT_TRUE(assemble({"226 no line end"}).empty());
    EXPECT_TRUE(assemble({"226-start\r\n226-more\r\n"}).empty());
}

TEST(ReplyAssembler, BareLineFeedsAndGarbageLines) {
    auto r = assemble({"200 ok\n", "garbage line\r\n", "\r\n", "250 done\r\n"});
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], "200 ok\r\n");
    EXPECT_EQ(r[1], "garbage line\r\n");
    EXPECT_EQ(replyCode(r[2]), "250");
}

TEST(ReplyAssembler, OverlongLinesAreBounded) {
    ReplyAssembler a;
    a.feed("500 " + std::string(1 << 20, 'x'));
    EXPECT_TRUE(a.empty());
    a.feed("\r\n");
    auto r = a.next();
    ASSERT_TRUE(r.has_value());
    EXPECT_LE(r->size(), ReplyAssembler::maxLineBytes + 2);
    EXPECT_EQ(replyCode(*r), "500");
    // A multi-line reply that never ends keeps a bounded text.
    for (int i = 0; i < 1000; ++i) a.feed("211-" + std::string(200, 'y') + "\r\n");
    a.feed("211 end\r\n");
    r = a.next();
    ASSERT_TRUE(r.has_value());
    EXPECT_LE(r->size(), ReplyAssembler::maxReplyBytes + 16);
}

TEST(RetrReplySize, Table) {
    struct Case {
        const char* reply;
        bool fileSizeCheck;
        std::int64_t size;
    } cases[] = {
        {"150 Opening BINARY mode data connection for a.jpg (512 bytes).", false, 512},
        {"150 Opening data connection for a.jpg (3000000000 bytes).", false, 3000000000LL},
        {"125 Data connection already open. Transfer starting.", false, -1},
        {"125 Data connection already open. Transfer starting.", true, -2},
        {"150 Here comes a.jpg (0 bytes)", false, 0},
        {"150 Here comes the file (binary mode)", false, -1},
        {"150 (", false, -1},
        {"150 (99999999999999999999999999 bytes)", false, INT64_MAX},
        {"", false, -1},
    };
    for (auto& c : cases) EXPECT_EQ(sizeFromRetrReply(c.reply, c.fileSizeCheck), c.size) << c.reply;
}

TEST(PortArgument, Table) {
    EXPECT_EQ(portArgument("192.168.1.5", 1050), "192,168,1,5,4,26");
    EXPECT_EQ(portArgument("10.0.0.7", 256), "10,0,0,7,1,0");
    EXPECT_EQ(portArgument("10.0.0.7", 65535), "10,0,0,7,255,255");
    EXPECT_EQ(portArgument("127.0.0.1", 21), "127,0,0,1,0,21");
}

TEST(PatternToken, Table) {
    EXPECT_EQ(patternToken("*.jpg"), "jpg");
    EXPECT_EQ(patternToken("gw*.dat"), "dat");
    EXPECT_EQ(patternToken(""), "xthisidiot");
    EXPECT_EQ(patternToken("abc"), "abc");
    EXPECT_EQ(patternToken("*.*"), "");
}

TEST(NlstLineStart, Table) {
    const std::string t = "a.jpg\r\nb.jpg\r\n";
    EXPECT_EQ(nlstLineStart(t, 0), 1);
    EXPECT_EQ(nlstLineStart(t, 5), 1);
    EXPECT_EQ(nlstLineStart(t, 12), 8);
    EXPECT_EQ(nlstLineStart("x\ty", 3), 3);
}

class Selection : public AppTest {
protected:
    void SetUp() override {
        start();
        s().downloadStep = 12;
        s().downloadNameCursor = 1;
        s().listEntryIndex = 0;
    }
    // One selection as step 12 makes it.
    bool next() {
        s().downloadNextDue = true;
        return w().ai_nlst.checked() ? selectNextNlstName(app()) : selectNextListEntry(app());
    }
};

TEST_F(Selection, NlstTakesNamesInOrderThenEnds) {
    w().fText5.setText("a.jpg\r\nb.jpg\r\n");
    ASSERT_TRUE(next());
    EXPECT_EQ(s().downloadTarget, "a.jpg");
    ASSERT_TRUE(next());
    EXPECT_EQ(s().downloadTarget, "b.jpg");
    EXPECT_FALSE(next());
    EXPECT_EQ(s().downloadTarget, "done");
    EXPECT_EQ(s().downloadNameCursor, -1);
    EXPECT_FALSE(next());
}

TEST_F(Selection, NlstDuplicateCheckAndTheNameBeingUploaded) {
    w().fText5.setText("a.jpg\r\nb.jpg\r\nc.jpg\r\n");
    s().downloadedNames = "xa.jpgx";
    s().uploadFileName = "b.jpg";
    ASSERT_TRUE(next());
    EXPECT_EQ(s().downloadTarget, "c.jpg");
    // With the check off a recorded name is taken again.
    s().downloadNameCursor = 1;
    w().Check3.setChecked(false);
    ASSERT_TRUE(next());
    EXPECT_EQ(s().downloadTarget, "a.jpg");
}

TEST_F(Selection, NlstWithoutFinalLineEndNeverTakesTheLastLine) {
    w().fText5.setText("a.jpg\r\nb.jpg");
    ASSERT_TRUE(next());
    EXPECT_EQ(s().downloadTarget, "a.jpg");
    EXPECT_FALSE(next());
}

TEST_F(Selection, ListModeWalksParsedEntries) {
    w().ai_list.setChecked(true);
    w().ai_nlst.setChecked(false);
    w().Text7.setText("*.jpg");
    w().fText5.setText(
        "total 3\r\n"
        "-rw-r--r--   1 u u  10 Dec 07 04:00 a.jpg\r\n"
        "-rw-r--r--   1 u u  10 Dec 07 04:00 notes.txt\r\n"
        "-rw-r--r--   1 u u  10 Jan 01  2020 old.jpg\r\n"
        "-rw-r--r--   1 u u  10 Dec 07 04:01 b.jpg\r\n");
    ASSERT_TRUE(next());
    EXPECT_EQ(s().downloadTarget, "a.jpg");
    EXPECT_EQ(s().listEntryIndex, 1);
    ASSERT_TRUE(next());
    EXPECT_EQ(s().downloadTarget, "b.jpg");
    EXPECT_FALSE(next());
    EXPECT_EQ(s().downloadTarget, "done");
    EXPECT_EQ(w().Combo1.count(), 3);  // the entry with a year has no time and gives none
}

TEST_F(Selection, ListLineWithTwoBlanksAfterTheTimeGivesAnEmptyEntry) {
    parseListListing(app(), "-rw 1 u u 1 Dec 07 04:00  a.jpg\r\n");
    ASSERT_EQ(w().Combo1.count(), 1);
    EXPECT_EQ(w().Combo1.item(0), "");
}

TEST(SafeLocalName, Table) {
    EXPECT_TRUE(safeLocalName("a.jpg"));
    EXPECT_TRUE(safeLocalName("..a"));
    EXPECT_FALSE(safeLocalName(""));
    EXPECT_FALSE(safeLocalName("."));
    EXPECT_FALSE(safeLocalName(".."));
    EXPECT_FALSE(safeLocalName("dir/a.jpg"));
    EXPECT_FALSE(safeLocalName("..\\a.jpg"));
}

}  // namespace
}  // namespace corvantel::testing

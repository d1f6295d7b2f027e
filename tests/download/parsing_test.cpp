// Tables of what servers send and what the session reads from it: reply
// assembly, the announced size, listing selection in both modes, the PORT
// argument.

#include <gtest/gtest.h>

#include <limits>

#include "app/app_state.h"
#include "download/commands.h"
#include "app/ftp_reply.h"
#include "app/verify.h"
#include "download/retrieval.h"
#include "download/selection.h"
#include "support/app_fixture.h"
#include "upload/session.h"

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

// Replies waiting to be taken are bounded by count and by bytes; past that
// they are dropped and the assembler says it was flooded, until cleared.
TEST(ReplyAssembler, WaitingRepliesAreBoundedTable) {
    const std::size_t most = ReplyAssembler::maxQueuedReplies;
    struct Row {
        const char* what;
        std::string fed;
        std::size_t waiting;
        bool flooded;
    } rows[] = {
        {"as many as may wait", [&] { std::string f; for (std::size_t i = 0; i < most; ++i) f += "Please wait\r\n"; return f; }(),
         most, false},
        {"one more", [&] { std::string f; for (std::size_t i = 0; i <= most; ++i) f += "100 still counting\r\n"; return f; }(),
         most, true},
        {"a million short lines", [] { std::string f; for (int i = 0; i < 1000000; ++i) f += "x\n"; return f; }(), most,
         true},
        {"blank lines carry nothing", std::string(1 << 20, '\n'), 0, false},
        {"long multi-line replies, bounded by bytes",
         [] {
             std::string f;
             for (int r = 0; r < 40; ++r) {
                 for (int i = 0; i < 300; ++i) f += "211-" + std::string(250, 'y') + "\r\n";
                 f += "211 end\r\n";
             }
             return f;
         }(),
         ReplyAssembler::maxQueuedBytes / ReplyAssembler::maxReplyBytes, true},
    };
    for (auto& row : rows) {
        ReplyAssembler a;
        a.feed(row.fed);
        EXPECT_EQ(a.flooded(), row.flooded) << row.what;
        EXPECT_LE(a.mostQueued(), most) << row.what;
        EXPECT_LE(a.mostQueuedBytes(), ReplyAssembler::maxQueuedBytes) << row.what;
        std::size_t n = 0;
        while (a.next()) ++n;
        EXPECT_EQ(n, row.waiting) << row.what;
        // Taken replies make room again; clearing forgets the flood.
        a.feed("200 ok\r\n");
        EXPECT_EQ(a.next().value_or(""), "200 ok\r\n") << row.what;
        a.clear();
        EXPECT_FALSE(a.flooded()) << row.what;
    }
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
        // Only a trailing "(N bytes)" is a size: a name's own parentheses
        // and digits never are.
        {"150 Opening BINARY mode data connection for scan (1024).jpg (5000 bytes).", false, 5000},
        {"150 Opening BINARY mode data connection for IMG_0001 (1).jpg", false, -1},
        {"150 Opening BINARY mode data connection for IMG_0001 (1).jpg", true, -2},
        {"150 Opening data connection for (7 bytes).jpg", false, -1},
        {"150 File (2 bytes) follows (900 Bytes)\r\n", false, 900},
        {"150-Accepted data connection\r\n150 (300 bytes)\r\n", false, 300},
        {"150 Opening data connection for x (12 bytes)\r\n150 more", false, 12},
    };
    for (auto& c : cases) EXPECT_EQ(sizeFromRetrReply(c.reply, c.fileSizeCheck), c.size) << c.reply;
}

// What FEAT offers, which checksum is asked for, and what the answers mean.
TEST(ProofReplies, Table) {
    using platform::HashKind;
    struct Feat {
        const char* reply;
        bool size, mdtm;
        HashKind kind;
        const char* query;  // for "f"
        const char* opts;   // "" when none is needed
    } feats[] = {
        {"211-Features:\r\n SIZE\r\n MDTM\r\n REST STREAM\r\n HASH SHA-1;SHA-256*;MD5\r\n XSHA1\r\n211 End\r\n", true,
         true, HashKind::Sha256, "HASH f", ""},
        {"211-Features:\r\n HASH SHA-1*;SHA-512;CRC32\r\n211 End\r\n", false, false, HashKind::Sha512, "HASH f",
         "OPTS HASH SHA-512"},
        {"211-Features:\r\n SIZE\r\n XCRC\r\n XMD5\r\n XSHA256\r\n XSHA1\r\n211 End\r\n", true, false,
         HashKind::Sha256, "XSHA256 f", ""},
        {"211-Extensions supported:\n mdtm\n size\n xcrc\n211 END\n", true, true, HashKind::Crc32, "XCRC f", ""},
        {"502 Command not implemented.\r\n", false, false, HashKind::None, "", ""},
        {"500 FEAT: SIZE MDTM XSHA256\r\n", false, false, HashKind::None, "", ""},
    };
    for (auto& c : feats) {
        const auto f = parseFeatures(c.reply);
        const auto plan = chooseHash(f);
        EXPECT_EQ(f.size, c.size) << c.reply;
        EXPECT_EQ(f.mdtm, c.mdtm) << c.reply;
        EXPECT_EQ(plan.kind, c.kind) << c.reply;
        if (plan.kind != HashKind::None) {
            EXPECT_EQ(hashQuery(plan, "f"), c.query) << c.reply;
        }
        EXPECT_EQ(plan.needsOpts ? hashOptsCommand(plan) : "", c.opts) << c.reply;
    }
    EXPECT_TRUE(checksumAskable(chooseHash(parseFeatures(feats[0].reply)), "my photo.jpg"));
    EXPECT_FALSE(checksumAskable(chooseHash(parseFeatures(feats[2].reply)), "my photo.jpg"));
    EXPECT_TRUE(checksumAskable(chooseHash(parseFeatures(feats[2].reply)), "photo.jpg"));
    const std::string sha = std::string(64, 'a');
    struct Sum {
        std::string reply;
        HashKind kind;
        std::optional<std::string> sum;
    } sums[] = {
        {"213 SHA-256 0-99 " + sha + " f.jpg\r\n", HashKind::Sha256, sha},
        {"250 " + std::string(64, 'A') + "\r\n", HashKind::Sha256, sha},
        {"213-Computing SHA-256 digest\r\n213 SHA-256 0-9 " + sha + " f\r\n", HashKind::Sha256, sha},
        {"250 1234abcd\r\n", HashKind::Crc32, "1234abcd"},
        {"250 34abcd\r\n", HashKind::Crc32, "0034abcd"},
        {"213 SHA-1 0-99 " + sha + " f\r\n", HashKind::Sha1, std::nullopt},  // a checksum of the wrong length
        {"550 f: not a plain file\r\n", HashKind::Md5, std::nullopt},
        {"213 zz" + std::string(62, 'a') + "\r\n", HashKind::Sha256, std::nullopt},
    };
    for (auto& c : sums) EXPECT_EQ(checksumFromReply(c.reply, c.kind), c.sum) << c.reply;
    // A checksum's patience: ten seconds and one per 32 MiB, never more than
    // the most (a stated size cannot hold a job for good).
    const std::pair<std::int64_t, std::int64_t> patience[] = {
        {-1, 10}, {0, 10}, {(32 << 20) - 1, 10}, {32 << 20, 11}, {std::int64_t{10} << 30, 330},
        {std::int64_t{1} << 40, maxChecksumPatienceSeconds}, {std::numeric_limits<std::int64_t>::max(), maxChecksumPatienceSeconds}};
    for (auto [size, seconds] : patience) EXPECT_EQ(checksumLimitSeconds(size), seconds) << size;
    EXPECT_EQ(sizeFromReply("213 3000000000\r\n"), 3000000000LL);
    EXPECT_EQ(sizeFromReply("213-Size of f\r\n follows\r\n213 42\r\n"), 42);
    EXPECT_EQ(sizeFromReply("213 12a\r\n"), std::nullopt);
    EXPECT_EQ(sizeFromReply("550 No such file\r\n"), std::nullopt);
    EXPECT_EQ(mdtmFromReply("213 20261207183500\r\n"), 1796668500);
    EXPECT_EQ(mdtmFromReply("213 20261207183500.123\r\n"), 1796668500);
    EXPECT_EQ(mdtmFromReply("213 20261307183500\r\n"), std::nullopt);
    EXPECT_EQ(mdtmFromReply("213 2026120718\r\n"), std::nullopt);
    // The local checksums, against known values.
    struct Known {
        HashKind kind;
        const char* hex;
    } known[] = {{HashKind::Crc32, "cbf43926"},
                 {HashKind::Md5, "25f9e794323b453885f5181f1b624d0b"},
                 {HashKind::Sha1, "f7c3bc1d808e04732adf679965ccc34ca7ae3441"},
                 {HashKind::Sha256, "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225"}};
    for (auto& k : known) {
        platform::Digest d;
        d.start(k.kind);
        d.update("1234");
        d.update("56789");
        EXPECT_EQ(d.hex(), k.hex);
    }
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

class Selection : public AppTest {
protected:
    void SetUp() override {
        start();
        dl().downloadStep = 12;
        downloadSessions(app()).downloadNameCursor = 1;
        downloadSessions(app()).listEntryIndex = 0;
    }
    // One selection as step 12 makes it.
    bool next() {
        dl().downloadNextDue = true;
        return w().ai_nlst.checked() ? selectNextNlstName(dl())
                                      : runStep(dl().strand, app().loop, selectNextListEntry(dl()));
    }
};

TEST_F(Selection, NlstTakesNamesInOrderThenEnds) {
    downloadSessions(app()).downloadListing = "a.jpg\r\nb.jpg\r\n";
    ASSERT_TRUE(next());
    EXPECT_EQ(dl().downloadTarget, "a.jpg");
    ASSERT_TRUE(next());
    EXPECT_EQ(dl().downloadTarget, "b.jpg");
    EXPECT_FALSE(next());
    EXPECT_EQ(dl().downloadTarget, "done");
    EXPECT_EQ(downloadSessions(app()).downloadNameCursor, -1);
    EXPECT_FALSE(next());
}

TEST_F(Selection, NlstDuplicateCheckAndTheNameBeingUploaded) {
    downloadSessions(app()).downloadListing = "a.jpg\r\nb.jpg\r\nc.jpg\r\n";
    downloadSessions(app()).downloadedNames.add("a.jpg");
    downloadSessions(app()).downloadedNames.add("xa.jpgx");
    // The upload job is sending b.jpg now.
    auto& u = uploadSession(app());
    u.uploadFileName = "b.jpg";
    u.uploadFileStarted = true;
    s().uploadRunning = true;
    ASSERT_TRUE(next());
    EXPECT_EQ(dl().downloadTarget, "c.jpg");
    // With the check off a recorded name is taken again, and a name the
    // upload job sent before (and is not sending now) is taken too.
    s().uploadRunning = false;
    downloadSessions(app()).downloadNameCursor = 1;
    w().Check3.setChecked(false);
    ASSERT_TRUE(next());
    EXPECT_EQ(dl().downloadTarget, "a.jpg");
    ASSERT_TRUE(next());
    EXPECT_EQ(dl().downloadTarget, "b.jpg");
}

// The names NLST selection takes from listings as real and broken servers
// send them: lines end at LF with or without CR, a last line without an end
// counts, names that are no files and names listed twice are passed over,
// and a CR or NUL inside a name never splits it into another name.
TEST_F(Selection, NlstNamesTable) {
    using namespace std::string_literals;
    struct Case {
        std::string listing;
        std::vector<std::string> taken;
    } cases[] = {
        {"a.jpg\r\nb.jpg", {"a.jpg", "b.jpg"}},
        {"a.jpg\nb.jpg\n", {"a.jpg", "b.jpg"}},
        {".\r\n..\r\n\r\na.jpg\r\n", {"a.jpg"}},
        {"a.jpg\r\na.jpg\r\nb.jpg\r\n", {"a.jpg", "b.jpg"}},
        {"nul\0name.jpg\r\ncr\rname.jpg\r\n"s, {"nul\0name.jpg"s, "cr\rname.jpg"}},
    };
    for (auto& c : cases) {
        downloadSessions(app()).downloadListing = c.listing;
        downloadSessions(app()).downloadNameCursor = 1;
        downloadSessions(app()).downloadSessionNames.clear();
        std::vector<std::string> got;
        while (next()) got.push_back(dl().downloadTarget);
        EXPECT_EQ(got, c.taken) << c.listing;
        EXPECT_EQ(dl().downloadTarget, "done");
    }
    EXPECT_FALSE(safeLocalName("nul\0name.jpg"s));
    EXPECT_FALSE(safeLocalName("cr\rname.jpg"));
}

// Names of long listings: times and years, links, blanks inside names,
// directories and totals (no name), DOS style, and lines of other shapes by
// the "hh:mm name" rule.
TEST_F(Selection, ListLineNamesTable) {
    parseListListing(app(),
                     "total 3\r\n"
                     "-rw-r--r--   1 u u  10 Dec 07 04:00 a.jpg\r\n"
                     "-rw-r--r--   1 u u  10 Jan 01  2020 old.jpg\n"
                     "drwxr-xr-x   2 u u  4096 Dec 07 04:00 dir.jpg\r\n"
                     "lrwxrwxrwx   1 u u  5 Dec 07 04:00 l.jpg -> a.jpg\r\n"
                     "-rw-r--r--   1 owner 10 Dec 7 04:00 my file.jpg\r\n"
                     "-rw 1 u u 1 Dec 07 04:00  a.jpg\r\n"
                     "12-07-26  04:00AM       1234 dos file.jpg\r\n"
                     "12-07-26  04:00AM       <DIR> sub\r\n"
                     "04:00 plain.jpg\r\n");
    std::vector<std::string> got;
    for (std::int64_t i = 0; i < w().Combo1.count(); ++i) got.push_back(w().Combo1.item(i));
    EXPECT_EQ(got, (std::vector<std::string>{"a.jpg", "old.jpg", "l.jpg", "my file.jpg", " a.jpg", "dos file.jpg",
                                             "plain.jpg"}));
}

TEST_F(Selection, ListModeWalksParsedEntries) {
    w().ai_list.setChecked(true);
    w().ai_nlst.setChecked(false);
    w().Text7.setText("*.jpg");
    downloadSessions(app()).downloadListing = (
        "total 3\r\n"
        "-rw-r--r--   1 u u  10 Dec 07 04:00 a.jpg\r\n"
        "-rw-r--r--   1 u u  10 Dec 07 04:00 notes.txt\r\n"
        "-rw-r--r--   1 u u  10 Jan 01  2020 old.jpg\r\n"
        "-rw-r--r--   1 u u  10 Dec 07 04:01 b.jpg\r\n");
    ASSERT_TRUE(next());
    EXPECT_EQ(dl().downloadTarget, "a.jpg");
    EXPECT_EQ(downloadSessions(app()).listEntryIndex, 1);
    ASSERT_TRUE(next());
    EXPECT_EQ(dl().downloadTarget, "old.jpg");
    ASSERT_TRUE(next());
    EXPECT_EQ(dl().downloadTarget, "b.jpg");
    EXPECT_FALSE(next());
    EXPECT_EQ(dl().downloadTarget, "done");
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

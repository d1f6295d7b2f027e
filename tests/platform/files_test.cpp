// The file helpers and the clock texts of the platform layer.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/clock.h"
#include "platform/files.h"
#include "support/app_fixture.h"

namespace corvantel::testing {
namespace {

namespace files = platform::files;
namespace fmt = platform::fmt;

TEST(Wildcards, Table) {
    EXPECT_TRUE(files::wildcardMatch("*.txt", "a.txt"));
    EXPECT_FALSE(files::wildcardMatch("*.txt", "a.txt.bak"));
    EXPECT_FALSE(files::wildcardMatch("*.txt", "a.TXT"));
    EXPECT_TRUE(files::wildcardMatch("*.jpg;*.txt", "b.txt"));
    EXPECT_TRUE(files::wildcardMatch("*.*", "noext"));
    EXPECT_TRUE(files::wildcardMatch("a?c", "abc"));
    EXPECT_FALSE(files::wildcardMatch("", "abc"));
    // Only "*" and "?" are wildcards; brackets and backslashes are plain.
    EXPECT_TRUE(files::wildcardMatch("[ab].txt", "[ab].txt"));
    EXPECT_FALSE(files::wildcardMatch("[ab].txt", "a.txt"));
    EXPECT_TRUE(files::wildcardMatch("a\\*", "a\\b"));
    EXPECT_TRUE(files::wildcardMatch("*a*b?", "xxaxbb"));
    EXPECT_FALSE(files::wildcardMatch("*.txt", ".hidden.txt"));
}

TEST(FileList, NamesInByteOrderAndOnlyFiles) {
    TempDir d;
    d.write("b.txt", "");
    d.write("a.txt", "");
    d.write("C.txt", "");
    d.write("x.jpg", "");
    ::mkdir(d.file("dir.txt").c_str(), 0755);
    // A link is never listed as a file, whatever it points to.
    ASSERT_EQ(::symlink(d.file("a.txt").c_str(), d.file("link.txt").c_str()), 0);
    ASSERT_EQ(::symlink(d.file("missing").c_str(), d.file("dangling.txt").c_str()), 0);
    EXPECT_EQ(files::listFiles(d.path(), "*.txt"), (std::vector<std::string>{"C.txt", "a.txt", "b.txt"}));
    EXPECT_TRUE(files::listFiles(d.path() + "/missing", "*").empty());
}

TEST(Lines, AnyLineEnd) {
    EXPECT_EQ(files::splitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(files::splitLines("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
    EXPECT_TRUE(files::splitLines("").empty());
}

// The names in a directory, hidden ones too.
std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Collects what the file layer refuses, instead of standard error.
struct Refusals {
    std::vector<std::string> seen;
    Refusals() {
        files::setRefusalSink([this](const std::string& text) { seen.push_back(text); });
    }
    ~Refusals() { files::setRefusalSink(nullptr); }
    bool told(const std::string& part) const {
        return std::any_of(seen.begin(), seen.end(), [&](auto& t) { return t.find(part) != std::string::npos; });
    }
};

TEST(WriteWhole, FailureLeavesTheOldFile) {
    TempDir d;
    Refusals refusals;
    ASSERT_TRUE(files::writeWhole(d.file("v.log"), "old", 0600));
    struct stat st {};
    ASSERT_EQ(::stat(d.file("v.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The temporary has a fresh name: a directory (or anything else) under
    // the old fixed name neither stops the write nor is touched.
    ::mkdir(d.file("v.log.tmp").c_str(), 0755);
    EXPECT_TRUE(files::writeWhole(d.file("v.log"), "new"));
    EXPECT_EQ(d.read("v.log"), "new");
    EXPECT_EQ(namesIn(d.path()), (std::vector<std::string>{"v.log", "v.log.tmp"}));
    // A name that is a directory cannot be replaced: the write fails and
    // leaves no temporary behind.
    EXPECT_FALSE(files::writeWhole(d.file("v.log.tmp"), "new"));
    EXPECT_TRUE(refusals.told("v.log.tmp': it is not a regular file"));
    EXPECT_EQ(namesIn(d.path()), (std::vector<std::string>{"v.log", "v.log.tmp"}));
}

// Nothing is ever written through a symbolic link, a FIFO or a hard link
// planted under a name the program writes.
TEST(NoWriteThroughLinks, AppendRefusesLinksAndOddFiles) {
    TempDir d;
    Refusals refusals;
    d.write("target", "secret");
    ASSERT_EQ(::symlink(d.file("target").c_str(), d.file("link.log").c_str()), 0);
    ASSERT_EQ(::link(d.file("target").c_str(), d.file("hard.log").c_str()), 0);
    ASSERT_EQ(::mkfifo(d.file("fifo.log").c_str(), 0600), 0);
    ASSERT_EQ(::symlink(d.file("missing").c_str(), d.file("dangling.log").c_str()), 0);
    for (const char* name : {"link.log", "hard.log", "fifo.log", "dangling.log"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(files::append(d.file(name), "line\r\n"));  // the FIFO does not block either
        EXPECT_TRUE(refusals.told(std::string(name) + "': it "));
    }
    EXPECT_TRUE(refusals.told("link.log': it is a symbolic link"));
    EXPECT_TRUE(refusals.told("fifo.log': it is not a regular file"));
    EXPECT_TRUE(refusals.told("hard.log': it has other hard links"));
    EXPECT_EQ(d.read("target"), "secret");
    EXPECT_FALSE(d.exists("missing"));
    // A plain log is made and added to.
    EXPECT_TRUE(files::append(d.file("plain.log"), "a\r\n"));
    EXPECT_TRUE(files::append(d.file("plain.log"), "b\r\n"));
    EXPECT_EQ(d.read("plain.log"), "a\r\nb\r\n");
    EXPECT_EQ(refusals.seen.size(), 4u);
    // A FIFO is not read either (it would block).
    EXPECT_FALSE(files::readAll(d.file("fifo.log")));
    files::ReadFile r;
    EXPECT_FALSE(r.open(d.file("fifo.log")));
    // Nor is a file read through a link: the file the link names may be
    // anybody's.
    EXPECT_FALSE(r.open(d.file("link.log")));
    EXPECT_FALSE(r.isOpen());
    // The size read is the opened file's own.
    ASSERT_TRUE(r.open(d.file("target")));
    EXPECT_EQ(r.size(), 6);
}

// Resuming writes on a kept file only when the opened file is a regular
// file of ours with a single name; a FIFO put in its place does not block.
TEST(NoWriteThroughLinks, ReopenJudgesWhatItOpened) {
    TempDir d;
    d.write("target", "secret");
    d.write("part", "12345");
    ASSERT_EQ(::symlink(d.file("target").c_str(), d.file("link").c_str()), 0);
    ASSERT_EQ(::link(d.file("target").c_str(), d.file("hard").c_str()), 0);
    ASSERT_EQ(::mkfifo(d.file("fifo").c_str(), 0600), 0);
    files::WriteFile f;
    for (const char* name : {"link", "hard", "fifo", "missing"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(f.reopen(d.path(), name));
        EXPECT_FALSE(f.isOpen());
    }
    EXPECT_EQ(d.read("target"), "secret");
    ASSERT_TRUE(f.reopen(d.path(), "part"));
    EXPECT_EQ(f.size(), 5);
    EXPECT_TRUE(f.write("678"));
    f.keep();
    EXPECT_EQ(d.read("part"), "12345678");
}

// New files get the mode asked for as the umask allows it, never more: a
// service with umask 077 keeps its downloads to itself.
TEST(NewFiles, ModeAsTheUmaskAllows) {
    TempDir d;
    struct Row {
        mode_t umask;
        unsigned mode;
        unsigned expected;
    };
    for (const Row& row : {Row{022, 0644, 0644}, Row{077, 0644, 0600}, Row{027, 0644, 0640}, Row{022, 0600, 0600},
                           Row{0, 0600, 0600}}) {
        SCOPED_TRACE(std::to_string(row.umask) + " " + std::to_string(row.mode));
        const mode_t old = ::umask(row.umask);
        files::WriteFile f;
        const bool made = f.create(d.path(), ".n.", ".part", row.mode);
        ::umask(old);
        ASSERT_TRUE(made);
        struct stat st {};
        ASSERT_EQ(::stat(f.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, row.expected);
        f.close();
    }
    const mode_t old = ::umask(077);
    const bool written = files::writeWhole(d.file("w.log"), "x");
    ::umask(old);
    ASSERT_TRUE(written);
    struct stat st {};
    ASSERT_EQ(::stat(d.file("w.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(NoWriteThroughLinks, WriteWholeNeitherFollowsNorReplacesALink) {
    TempDir d;
    Refusals refusals;
    d.write("target", "secret");
    ASSERT_EQ(::symlink(d.file("target").c_str(), d.file("v.log").c_str()), 0);
    // Links planted under the names a temporary could once be guessed by.
    ASSERT_EQ(::symlink(d.file("target").c_str(), d.file("v.log.tmp").c_str()), 0);
    ASSERT_EQ(::symlink(d.file("target").c_str(), d.file("w.log.tmp").c_str()), 0);
    EXPECT_FALSE(files::writeWhole(d.file("v.log"), "password", 0600));
    EXPECT_TRUE(refusals.told("v.log': it is a symbolic link"));
    EXPECT_TRUE(files::writeWhole(d.file("w.log"), "password", 0600));
    EXPECT_EQ(d.read("w.log"), "password");
    EXPECT_EQ(d.read("target"), "secret");
    struct stat st {};
    ASSERT_EQ(::lstat(d.file("v.log").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(namesIn(d.path()), (std::vector<std::string>{"target", "v.log", "v.log.tmp", "w.log", "w.log.tmp"}));
}

TEST(NoWriteThroughLinks, NewFilesAreExclusiveAndRenamedBesideThemselves) {
    TempDir d;
    Refusals refusals;
    files::WriteFile a, b;
    ASSERT_TRUE(a.create(d.path(), ".x.", ".part", 0600));
    ASSERT_TRUE(b.create(d.path(), ".x.", ".part", 0600));
    EXPECT_NE(a.path(), b.path());
    const std::string aName = a.path().substr(d.path().size() + 1);
    EXPECT_EQ(aName.rfind(".x.", 0), 0u);
    EXPECT_EQ(aName.size(), std::string(".x.12345678.part").size());
    struct stat st {};
    ASSERT_EQ(::stat(a.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(a.write("bytes") && a.finish());
    EXPECT_TRUE(a.commit("x"));
    EXPECT_EQ(d.read("x"), "bytes");
    // A name that is a link is not replaced; the new file goes.
    d.write("target", "secret");
    ASSERT_EQ(::symlink(d.file("target").c_str(), d.file("y").c_str()), 0);
    EXPECT_TRUE(b.write("evil"));
    EXPECT_FALSE(b.commit("y"));
    EXPECT_TRUE(refusals.told("/y': it is a symbolic link"));
    EXPECT_FALSE(b.isOpen());
    EXPECT_EQ(d.read("target"), "secret");
    // One that is closed without a commit is removed.
    ASSERT_TRUE(b.create(d.path(), ".z.", ".part"));
    b.close();
    EXPECT_EQ(namesIn(d.path()), (std::vector<std::string>{"target", "x", "y"}));
    // No file is created in a directory that is not there.
    EXPECT_FALSE(b.create(d.file("missing"), ".z.", ".part"));
}

TEST(ReadFile, RecordsAcrossTheBuffer) {
    TempDir d;
    std::string content;
    for (int i = 0; i < 200000; ++i) content += static_cast<char>('a' + i % 26);
    d.write("f", content);
    files::ReadFile f;
    ASSERT_TRUE(f.open(d.file("f")));
    std::string back;
    for (;;) {
        std::string r = f.read(2000);
        back += r;
        if (r.size() < 2000) break;
    }
    EXPECT_EQ(back, content);
    EXPECT_FALSE(f.failed());
    EXPECT_EQ(files::length(d.file("f")), 200000);
    EXPECT_EQ(files::length(d.file("missing")), -1);
}

TEST(ClockTexts, Table) {
    auto t = platform::civilFromEpochSeconds(platform::epochSecondsFromCivil(2002, 3, 11, 22, 52, 3));
    EXPECT_EQ(fmt::yyyymmdd(t), "20020311");
    EXPECT_EQ(fmt::slashDate(t), "2002/03/11");
    EXPECT_EQ(fmt::hhmmssAmPm(t), "10:52:03 PM");
    EXPECT_EQ(fmt::hhmmssCompact(t), "105203 PM");
    EXPECT_EQ(fmt::dayNameAndDay(t), "Mon 11");
    EXPECT_EQ(fmt::monthName(t), "Mar");
    auto noon = platform::civilFromEpochSeconds(platform::epochSecondsFromCivil(2026, 12, 7, 12, 0, 0));
    auto midnight = platform::civilFromEpochSeconds(platform::epochSecondsFromCivil(2026, 12, 7, 0, 5, 0));
    EXPECT_EQ(fmt::hhmmssAmPm(noon), "12:00:00 PM");
    EXPECT_EQ(fmt::hhmmssAmPm(midnight), "12:05:00 AM");
    EXPECT_EQ(fmt::dayNameAndDay(noon), "Mon 7");
}

}  // namespace
}  // namespace corvantel::testing

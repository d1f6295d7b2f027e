// The file helpers and the clock texts of the platform layer.

#include <gtest/gtest.h>

#include <sys/stat.h>

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
    EXPECT_EQ(files::listFiles(d.path(), "*.txt"), (std::vector<std::string>{"C.txt", "a.txt", "b.txt"}));
    EXPECT_TRUE(files::listFiles(d.path() + "/missing", "*").empty());
}

TEST(Lines, AnyLineEnd) {
    EXPECT_EQ(files::splitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(files::splitLines("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
    EXPECT_TRUE(files::splitLines("").empty());
}

TEST(WriteWhole, FailureLeavesTheOldFile) {
    TempDir d;
    ASSERT_TRUE(files::writeWhole(d.file("v.log"), "old", 0600));
    struct stat st {};
    ASSERT_EQ(::stat(d.file("v.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::mkdir(d.file("v.log.tmp").c_str(), 0755);  // the temporary cannot be made
    EXPECT_FALSE(files::writeWhole(d.file("v.log"), "new"));
    EXPECT_EQ(d.read("v.log"), "old");
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

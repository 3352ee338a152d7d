#include "support/profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "support/scratch_folder.h"

namespace asynframe {
namespace {

using testing_support::scratch_folder;
using testing_support::slurp;
using testing_support::spit;

TEST(ProfileParse, MatchesNamesCaseInsensitivelyAndTakesFirstMatch) {
    const std::string content =
        "orphan=1\n"
        "; comment=9\n"
        "[Cache]\n"
        "  Enable = 1  \n"
        "enable=2\n"
        "quoted=\"  spaced  \"\n"
        "[cache]\n"
        "enable=3\n"
        "later=4\n";
    EXPECT_EQ(profile::find_value(content, "CACHE", "enable"), "1");
    EXPECT_EQ(profile::find_value(content, "cache", "quoted"), "  spaced  ");
    // Only the first matching section is searched.
    EXPECT_FALSE(profile::find_value(content, "cache", "later"));
    EXPECT_FALSE(profile::find_value(content, "", "orphan"));
    EXPECT_FALSE(profile::find_value(content, "cache", "; comment"));
    EXPECT_FALSE(profile::find_value(content, "missing", "enable"));
    EXPECT_FALSE(profile::find_value("", "cache", "enable"));
}

TEST(ProfileParse, ReadsCrlfAndLastLineWithoutEnd) {
    const std::string content = "[s]\r\na=x y\r\nb=last";
    EXPECT_EQ(profile::find_value(content, "s", "a"), "x y");
    EXPECT_EQ(profile::find_value(content, "s", "b"), "last");
}

TEST(ProfileParse, IntegersFollowThePlatformRead) {
    EXPECT_EQ(profile::parse_uint("42"), 42u);
    EXPECT_EQ(profile::parse_uint("  42  "), 42u);
    EXPECT_EQ(profile::parse_uint("-5"), 0xFFFFFFFBu);
    EXPECT_EQ(profile::parse_uint("12abc"), 12u);
    EXPECT_EQ(profile::parse_uint("abc"), 0u);
    EXPECT_EQ(profile::parse_uint("4294967295"), 0xFFFFFFFFu);
    EXPECT_EQ(profile::parse_uint("4294967296"), 0u);  // wraps like the platform's conversion
}

TEST(ProfileFile, MissingFileAndKeysGiveDefaults) {
    scratch_folder dir;
    const std::string file = dir.file("none.ini");
    EXPECT_EQ(profile::read_uint(file, "s", "k", 77), 77u);
    EXPECT_EQ(profile::read_string(file, "s", "k", "dflt"), "dflt");
    spit(file, "[s]\nempty=\ntext=abc\nnum=-5\n");
    EXPECT_EQ(profile::read_uint(file, "s", "empty", 77), 77u);
    EXPECT_EQ(profile::read_uint(file, "s", "text", 77), 0u);
    EXPECT_EQ(profile::read_uint(file, "S", "NUM", 77), 0xFFFFFFFBu);
    EXPECT_EQ(profile::read_uint(file, "s", "other", 77), 77u);
    EXPECT_EQ(profile::read_string(file, "s", "empty", "dflt"), "");
}

TEST(ProfileFile, WriteCreatesFileSectionAndKey) {
    scratch_folder dir;
    const std::string file = dir.file("new.ini");
    ASSERT_TRUE(profile::write_string(file, "cache", "enable", "1"));
    EXPECT_EQ(slurp(file), "[cache]\nenable=1\n");
    ASSERT_TRUE(profile::write_string(file, "cache", "timeout", "60"));
    ASSERT_TRUE(profile::write_string(file, "other", "x", "y"));
    EXPECT_EQ(slurp(file), "[cache]\nenable=1\ntimeout=60\n[other]\nx=y\n");
    EXPECT_EQ(profile::read_uint(file, "CACHE", "Timeout", 0), 60u);
}

TEST(ProfileFile, WriteKeepsEveryOtherLineAndLineEnds) {
    scratch_folder dir;
    const std::string file = dir.file("keep.ini");
    spit(file,
         "; top comment\r\n"
         "\r\n"
         "[A]\r\n"
         "  Key = old  \r\n"
         "key=second\r\n"
         "other=1\r\n"
         "\r\n"
         "[b]\r\n"
         "z=1");
    ASSERT_TRUE(profile::write_string(file, "a", "KEY", "new"));
    ASSERT_TRUE(profile::write_string(file, "a", "added", "2"));
    ASSERT_TRUE(profile::write_string(file, "b", "w", "3"));
    ASSERT_TRUE(profile::write_string(file, "c", "v", "4"));
    EXPECT_EQ(slurp(file),
              "; top comment\r\n"
              "\r\n"
              "[A]\r\n"
              "  Key =new\r\n"
              "key=second\r\n"
              "other=1\r\n"
              "added=2\r\n"
              "\r\n"
              "[b]\r\n"
              "z=1\r\n"
              "w=3\r\n"
              "[c]\r\n"
              "v=4\r\n");
}

TEST(ProfileFile, ReplacesAtomicallyAndKeepsPermissions) {
    scratch_folder dir;
    const std::string file = dir.file("perm.ini");
    spit(file, "[s]\nk=1\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const auto before = std::filesystem::status(file).permissions();
    ASSERT_TRUE(profile::write_string(file, "s", "k", "2"));
    EXPECT_EQ(std::filesystem::status(file).permissions(), before);
    EXPECT_EQ(slurp(file), "[s]\nk=2\n");
    // No temporary file is left beside it.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST(ProfileFile, WriteThroughALinkUpdatesItsTarget) {
    scratch_folder dir;
    spit(dir.file("real.ini"), "[s]\nk=1\n");
    std::error_code refused;
    std::filesystem::create_symlink(dir.file("real.ini"), dir.file("link.ini"), refused);
    // Windows lets only privileged or developer-mode users make links.
    if (refused) GTEST_SKIP() << "this user may not make symbolic links: " << refused.message();
    ASSERT_TRUE(profile::write_string(dir.file("link.ini"), "s", "k", "2"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.ini")));
    EXPECT_EQ(slurp(dir.file("real.ini")), "[s]\nk=2\n");
}

TEST(ProfileFile, RefusesWhatCannotBeStoredAndLeavesTheFile) {
    scratch_folder dir;
    const std::string file = dir.file("bad.ini");
    spit(file, "[s]\nk=1\n");
    EXPECT_FALSE(profile::write_string(file, "s", "k", "1\n[evil]\nx=1"));
    EXPECT_FALSE(profile::write_string(file, "s", "a=b", "1"));
    EXPECT_FALSE(profile::write_string(file, "s]", "k", "1"));
    EXPECT_FALSE(profile::write_string(file, "s", " ", "1"));
    EXPECT_FALSE(profile::write_string(file, "s", ";k", "1"));
    EXPECT_EQ(slurp(file), "[s]\nk=1\n");
    EXPECT_FALSE(profile::write_string(dir.file("no/such/folder.ini"), "s", "k", "1"));
    EXPECT_FALSE(profile::write_string(dir.path(), "s", "k", "1"));  // a folder, not a file
}

// Whatever bytes the file holds, a write followed by a read gives the value back
// and nothing faults.
TEST(ProfileParse, WriteThenReadRoundTripsOnArbitraryContent) {
    std::mt19937 random(12345);
    const std::string alphabet("ab[]=; \t\r\n\"'AB\0\xff", 16);
    auto make = [&](std::size_t max_length, const std::string& letters) {
        std::string text(random() % (max_length + 1), ' ');
        for (char& c : text) c = letters[random() % letters.size()];
        return text;
    };
    for (int round = 0; round < 3000; ++round) {
        const std::string content = make(60, alphabet);
        const std::string section = make(3, "abAB[ ");
        const std::string key = "k" + make(2, "abAB]");
        const std::string value = make(4, std::string("xy=;[]\0", 7));
        (void)profile::find_value(content, section, key);
        const auto updated = profile::set_value(content, section, key, value);
        ASSERT_TRUE(updated.has_value()) << round;
        EXPECT_EQ(profile::find_value(*updated, section, key), value) << round;
    }
}

}  // namespace
}  // namespace asynframe

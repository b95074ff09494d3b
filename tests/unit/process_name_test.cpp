// SPDX-License-Identifier: MIT
// How image names are made from /proc's comm, exe and cmdline, and how
// their bytes become UTF-16.
#include <gtest/gtest.h>
#include <string>

#include "core/image_name.h"
#include "core/process_stat.h"
#include <cstdlib>

#include "core/utf8.h"

using namespace sockscope_detail;

namespace {

TEST(ImageName, CommLosesItsLineEndOnly) {
    EXPECT_EQ(comm_from_file("bash\n"), "bash");
    EXPECT_EQ(comm_from_file("bash"), "bash");
    EXPECT_EQ(comm_from_file("a b\n\n"), "a b\n");
    EXPECT_EQ(comm_from_file(""), "");
}

TEST(ImageName, FirstArgumentEndsAtNul) {
    EXPECT_EQ(first_argument(std::string_view("/bin/prog\0-x\0", 13)), "/bin/prog");
    EXPECT_EQ(first_argument("no-nul"), "no-nul");
    EXPECT_EQ(first_argument(std::string_view("\0", 1)), "");
}

TEST(ImageName, LongNameFromPath) {
    const std::string_view comm = "a-very-long-pro";
    EXPECT_EQ(long_name_from_path(comm, "/usr/bin/a-very-long-program"), "a-very-long-program");
    EXPECT_EQ(long_name_from_path(comm, "a-very-long-program"), "a-very-long-program");
    EXPECT_EQ(long_name_from_path(comm, "/usr/bin/other"), std::nullopt);
    EXPECT_EQ(long_name_from_path(comm, "/a-very-long-program/x"), std::nullopt);
    EXPECT_EQ(long_name_from_path(comm, ""), std::nullopt);
    EXPECT_EQ(long_name_from_path(comm, "/usr/bin/a-very-long-pro"), std::nullopt);
}

TEST(ImageName, ExecutablePathDropsDeletedMark) {
    EXPECT_EQ(executable_path("/tmp/prog (deleted)"), "/tmp/prog");
    EXPECT_EQ(executable_path("/tmp/prog"), "/tmp/prog");
    EXPECT_EQ(executable_path(" (deleted)"), "");
}

TEST(ImageName, StateComesAfterTheLastParenthesis) {
    EXPECT_EQ(process_state_from_stat("12 (sh) S 1 12 12"), 'S');
    // A process names itself: ") R (" inside its name must not fool us.
    EXPECT_EQ(process_state_from_stat("77 (x) R (y) Z 1 77 77"), 'Z');
    EXPECT_EQ(process_state_from_stat("77 (a\nb) Z"), 'Z');
    for (const char* broken : {"", "77 (sh)", "77 (sh) ", "77 sh S", "77 (sh)S 1"})
        EXPECT_EQ(process_state_from_stat(broken), 0) << broken;
}

TEST(ImageName, EndedMeansAZombieWithNoThreadLeft) {
    const auto stat = [](const char* state, const char* threads) {
        return std::string("77 (a) b) ") + state + " 1 77 77 0 -1 4194560 90 0 0 0 0 0 0 0 20 0 " + threads +
               " 0 5 0";
    };
    EXPECT_TRUE(stat_shows_ended(stat("Z", "1")));
    EXPECT_TRUE(stat_shows_ended(stat("X", "1")));
    EXPECT_FALSE(stat_shows_ended(stat("Z", "2"))); // its main thread called pthread_exit
    for (const char* running : {"S", "R", "D"}) EXPECT_FALSE(stat_shows_ended(stat(running, "1"))) << running;
    EXPECT_TRUE(stat_shows_ended("77 (a) Z 1 77")); // no thread count to say otherwise
}

// The decoded name, through the library's one path from bytes to UTF-16.
std::u16string decoded(std::string_view bytes) {
    char16_t* copy = utf8_to_heap_utf16(bytes);
    EXPECT_NE(copy, nullptr);
    std::u16string text = copy != nullptr ? copy : u"";
    std::free(copy);
    return text;
}

TEST(Utf8, WellFormedText) {
    const std::pair<std::string, std::u16string> cases[] = {
        {"", u""},
        {"bash", u"bash"},
        {"caf\xC3\xA9", u"caf\u00E9"},
        {"\xE6\x97\xA5\xE6\x9C\xAC", u"\u65E5\u672C"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"}, // a surrogate pair
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(decoded(bytes), text);
        EXPECT_TRUE(utf8_equals_utf16(bytes, text.c_str()));
    }
}

TEST(Utf8, EachIllFormedSubpartBecomesOneReplacement) {
    const std::pair<std::string, std::u16string> cases[] = {
        {"\x80", u"\uFFFD"},                        // lone continuation byte
        {"a\xFF" "b", u"a\uFFFD" "b"},              // byte never used in UTF-8
        {"\xC0\xAF", u"\uFFFD\uFFFD"},              // overlong lead
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},    // overlong three-byte form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},    // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
        {"\xE6\x97", u"\uFFFD"},                    // truncated at the end
        {"\xE6\x97" "a", u"\uFFFD" "a"},            // truncated before ASCII
        {"\xF0\x9F\x98", u"\uFFFD"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(decoded(bytes), text);
}

TEST(Utf8, ComparisonIsWholeAndExact) {
    EXPECT_TRUE(utf8_equals_utf16("sshd", u"sshd"));
    EXPECT_FALSE(utf8_equals_utf16("sshd", u"ssh"));
    EXPECT_FALSE(utf8_equals_utf16("ssh", u"sshd"));
    EXPECT_FALSE(utf8_equals_utf16("sshd", u"SSHD"));
    EXPECT_TRUE(utf8_equals_utf16("", u""));
    EXPECT_FALSE(utf8_equals_utf16("", u"a"));
    // A zero byte in the bytes never matches past the name's terminator.
    EXPECT_FALSE(utf8_equals_utf16(std::string_view("a\0b", 3), u"a"));
    EXPECT_TRUE(utf8_equals_utf16("\xFF", u"\uFFFD"));
}

} // namespace

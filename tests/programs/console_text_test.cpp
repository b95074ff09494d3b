// SPDX-License-Identifier: MIT
// Process names and lines as the console programs write them, and UTF-16
// names read character by character.
#include <clocale>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

#include <sockscope_text/display_width.h>
#include <sockscope_text/terminal_text.h>
#include <sockscope_text/utf16.h>
#include <sockscope_text/utf8.h>

#include "listing_line.h"

using sockscope_demo::append_listing_line;
using sockscope_text::escaped_name;

namespace {

class ConsoleText : public ::testing::Test {
protected:
    void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(ConsoleText, PlainNamesPrintUnchangedInAnyLocale) {
    for (const char* locale : {"C", "C.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
        EXPECT_EQ(escaped_name(u"nginx:worker"), "nginx:worker");
        EXPECT_EQ(escaped_name(u"a-b_c.d+e@f"), "a-b_c.d+e@f");
    }
}

TEST_F(ConsoleText, UnknownOrEmptyNamePrintsDash) {
    EXPECT_EQ(escaped_name(nullptr), "-");
    EXPECT_EQ(escaped_name(u""), "-");
}

TEST_F(ConsoleText, Utf8LocaleShowsEveryCharacter) {
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    EXPECT_EQ(escaped_name(u"caf\u00E9"), "caf\xC3\xA9");
    EXPECT_EQ(escaped_name(u"\U0001F600x"), "\xF0\x9F\x98\x80x");
}

TEST_F(ConsoleText, WhatTheLocaleCantShowBecomesAQuestionMarkAndTheRestGoesOn) {
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    EXPECT_EQ(escaped_name(u"caf\u00E9_bar"), "caf?_bar");
    EXPECT_EQ(escaped_name(u"\u65E5\u672C"), "??");
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    // Unpaired surrogates can't be shown in any locale.
    const char16_t lone_high[] = {u'a', 0xD800, u'b', 0};
    const char16_t lone_low[] = {0xDC00, u'b', 0};
    const char16_t high_at_end[] = {u'a', 0xDBFF, 0};
    EXPECT_EQ(escaped_name(lone_high), "a?b");
    EXPECT_EQ(escaped_name(lone_low), "?b");
    EXPECT_EQ(escaped_name(high_at_end), "a?");
}

TEST_F(ConsoleText, SeparatorsBackslashAndControlsBecomeOctalEscapes) {
    for (const char* locale : {"C", "C.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
        EXPECT_EQ(escaped_name(u"Web Content"), "Web\\040Content");
        EXPECT_EQ(escaped_name(u"a\tb\nc\\d"), "a\\011b\\012c\\134d");
        EXPECT_EQ(escaped_name(u"\x1b[31mred"), "\\033[31mred");
        EXPECT_EQ(escaped_name(u"\x01\x1f\x7f"), "\\001\\037\\177");
        // An escape is itself escaped, so the field can be read back exactly.
        EXPECT_EQ(escaped_name(u"\\040"), "\\134040");
        EXPECT_EQ(escaped_name(u" "), "\\040");
    }
}

TEST_F(ConsoleText, C1ControlsAndFormatCharactersAreEscapedByteForByteOrCantBeShown) {
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    // U+009B is a one-character CSI for terminals that obey C1 codes.
    EXPECT_EQ(escaped_name(u"a\u009B2Jb"), "a\\302\\2332Jb");
    EXPECT_EQ(escaped_name(u"\u0080\u009F"), "\\302\\200\\302\\237");
    // Bidirectional marks, embeddings, overrides and isolates, and the line
    // and paragraph separators: each of the first and last of every range.
    EXPECT_EQ(escaped_name(u"\u061C\u200E\u200F\u202A\u202E\u2066\u2069\u2028\u2029"),
              "\\330\\234\\342\\200\\216\\342\\200\\217\\342\\200\\252\\342\\200\\256"
              "\\342\\201\\246\\342\\201\\251\\342\\200\\250\\342\\200\\251");
    // Their neighbours are ordinary characters.
    EXPECT_EQ(escaped_name(u"\u200D\u202F\u2065\u206A"), "\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA");
    // The first character after them is an ordinary one.
    EXPECT_EQ(escaped_name(u"\u00A0"), "\xC2\xA0");
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    EXPECT_EQ(escaped_name(u"a\u009Bb"), "a?b");
}

// Every reader of a name (the escaping, JSON, --name) walks it with
// next_code_point; what it makes of an unpaired surrogate is its own.
TEST(Utf16, PairsJoinAndUnpairedSurrogatesStandAlone) {
    struct Case {
        std::u16string text;
        std::vector<std::pair<char32_t, bool>> code_points; // value, unpaired
        std::string utf8;
    };
    const Case cases[] = {
        {{u'a', 0xD83D, 0xDE00, u'b'}, {{u'a', false}, {0x1F600, false}, {u'b', false}}, "a\xF0\x9F\x98\x80" "b"},
        {{u'a', 0xD83D, 0xDE00}, {{u'a', false}, {0x1F600, false}}, "a\xF0\x9F\x98\x80"},
        {{0xD800, u'b'}, {{0xD800, true}, {u'b', false}}, "\xEF\xBF\xBD" "b"},
        {{u'a', 0xDBFF}, {{u'a', false}, {0xDBFF, true}}, "a\xEF\xBF\xBD"},
        {{0xDC00, u'b'}, {{0xDC00, true}, {u'b', false}}, "\xEF\xBF\xBD" "b"},
        {{0xDE00, 0xD83D}, {{0xDE00, true}, {0xD83D, true}}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {{0xD800, 0xD83D, 0xDE00}, {{0xD800, true}, {0x1F600, false}}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
        {{u'\u00E9', u'\u65E5', 0xFFFF},
         {{0xE9, false}, {0x65E5, false}, {0xFFFF, false}},
         "\xC3\xA9\xE6\x97\xA5\xEF\xBF\xBF"},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<char32_t, bool>> read;
        for (std::size_t at = 0; at < c.text.size() && read.size() <= c.text.size();) {
            const sockscope_text::CodePoint point = sockscope_text::next_code_point(c.text, at);
            read.emplace_back(point.value, point.unpaired);
        }
        EXPECT_EQ(read, c.code_points) << c.utf8;
        EXPECT_EQ(sockscope_text::utf8_of(c.text), c.utf8);
    }
}

std::string escaped_utf8(const char* name, std::string_view also = {}) {
    std::string out;
    sockscope_text::append_escaped_utf8_name(out, name, also);
    return out;
}

// The C interface's names arrive as UTF-8: escaped as the UTF-16 ones are,
// in either locale, a list separator escaped on request, and bytes that are
// no character shown as "?".
TEST_F(ConsoleText, Utf8NamesAreEscapedAsUtf16OnesAre) {
    const std::pair<const char*, const char16_t*> same[] = {
        {"Web Content", u"Web Content"},
        {"a\tb\nc\\d\x1b[31m\x7f", u"a\tb\nc\\d\x1b[31m\x7f"},
        {"caf\xC3\xA9 \xE6\x97\xA5\xF0\x9F\x98\x80", u"caf\u00E9 \u65E5\U0001F600"},
        {"\xC2\x9B\xE2\x80\xAE\xE2\x81\xA6x", u"\u009B\u202E\u2066x"},
        {"", u""},
    };
    for (const char* locale : {"C", "C.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
        for (const auto& [utf8, utf16] : same) EXPECT_EQ(escaped_utf8(utf8), escaped_name(utf16)) << locale << ": " << utf8;
        EXPECT_EQ(escaped_utf8(nullptr), "-");
        EXPECT_EQ(escaped_utf8("a,b/c", ","), "a\\054b/c");
        EXPECT_EQ(escaped_utf8("a,b"), "a,b");
    }
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    EXPECT_EQ(escaped_utf8("a\xC0\xAF" "b\xED\xA0\x80" "c\xF0\x9F"), "a??b???c?");
}

TEST(Utf8, CharactersAndTheSequencesThatAreNone) {
    const std::pair<std::string, std::vector<std::optional<char32_t>>> cases[] = {
        {"a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80", {u'a', 0xE9, 0x65E5, 0x1F600}},
        {"\x80" "a", {std::nullopt, u'a'}},                                             // a stray continuation byte
        {"\xC0\xAF", {std::nullopt, std::nullopt}},                                     // overlong: two subparts
        {"\xE6\x97" "a", {std::nullopt, u'a'}},                                         // cut short: one subpart
        {"\xED\xA0\x80", {std::nullopt, std::nullopt, std::nullopt}},                   // a surrogate
        {"\xF4\x90\x80\x80", {std::nullopt, std::nullopt, std::nullopt, std::nullopt}}, // past U+10FFFF
    };
    for (const auto& [text, expected] : cases) {
        std::vector<std::optional<char32_t>> read;
        for (std::size_t at = 0; at < text.size() && read.size() <= text.size();)
            read.push_back(sockscope_text::next_utf8_character(text, at));
        EXPECT_EQ(read, expected) << text;
    }
}

TEST_F(ConsoleText, WidthsAndCutsAreInTerminalColumns) {
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    using sockscope_text::display_width;
    using sockscope_text::fitting_prefix;
    EXPECT_EQ(display_width("fe80::1%eth0"), 12u);
    EXPECT_EQ(display_width("caf\xC3\xA9"), 4u);
    EXPECT_EQ(display_width("\xE6\x97\xA5\xE6\x9C\xAC"), 4u); // two wide characters
    EXPECT_EQ(fitting_prefix("caf\xC3\xA9!", 4), 5u);
    EXPECT_EQ(fitting_prefix("\xE6\x97\xA5\xE6\x9C\xAC", 3), 3u); // never half a wide one
    EXPECT_EQ(fitting_prefix("abc", 10), 3u);
    EXPECT_EQ(sockscope_text::ellipsis(), "\xE2\x80\xA6");
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    EXPECT_EQ(sockscope_text::ellipsis(), "~");
    EXPECT_EQ(display_width("caf\xC3\xA9"), 5u); // bytes the locale can't read count one each
}

statTCPROW row_of(char* local, char* remote, char16_t* name, const char* state) {
    statTCPROW row{};
    row.LocalAddr = local;
    row.RemoteAddr = remote;
    row.ProcessName = name;
    row.Statestr = state;
    return row;
}

TEST_F(ConsoleText, ListingLineHasSevenPlainFields) {
    char local[] = "127.0.0.1", remote[] = "0.0.0.0";
    char16_t name[] = u"a b";
    statTCPROW row = row_of(local, remote, name, "LISTEN");
    row.LocalPort = 5;
    row.RemotePort = 0;
    row.PID = 4294967295u;
    std::string line;
    append_listing_line(line, row);
    EXPECT_EQ(line, "127.0.0.1 5 0.0.0.0 0 4294967295 a\\040b LISTEN\n");

    row.ProcessName = nullptr;
    row.LocalPort = 443;
    row.PID = 0;
    line = "kept ";
    append_listing_line(line, row);
    EXPECT_EQ(line, "kept 127.0.0.1 443 0.0.0.0 0 0 - LISTEN\n");
}

} // namespace

// Process names as the console listing writes them.
#include <clocale>
#include <gtest/gtest.h>
#include <string>

#include "console_text.h"

using sockscope_demo::to_locale_text;

namespace {

class ConsoleText : public ::testing::Test {
protected:
    void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(ConsoleText, AsciiPrintsUnchangedInAnyLocale) {
    for (const char* locale : {"C", "C.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
        EXPECT_EQ(to_locale_text(u"nginx: worker"), "nginx: worker");
    }
}

TEST_F(ConsoleText, UnknownOwnerPrintsDash) { EXPECT_EQ(to_locale_text(nullptr), "-"); }

TEST_F(ConsoleText, Utf8LocaleShowsEveryCharacter) {
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    EXPECT_EQ(to_locale_text(u"caf\u00E9"), "caf\xC3\xA9");
    EXPECT_EQ(to_locale_text(u"\U0001F600x"), "\xF0\x9F\x98\x80x");
}

TEST_F(ConsoleText, WhatTheLocaleCantShowBecomesAQuestionMarkAndTheRestGoesOn) {
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    EXPECT_EQ(to_locale_text(u"caf\u00E9 bar"), "caf? bar");
    EXPECT_EQ(to_locale_text(u"\u65E5\u672C"), "??");
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    // Unpaired surrogates can't be shown in any locale.
    const char16_t lone_high[] = {u'a', 0xD800, u'b', 0};
    const char16_t lone_low[] = {0xDC00, u'b', 0};
    EXPECT_EQ(to_locale_text(lone_high), "a?b");
    EXPECT_EQ(to_locale_text(lone_low), "?b");
}

} // namespace

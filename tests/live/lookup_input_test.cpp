// SPDX-License-Identifier: MIT
// The lookups by name given names that no well-behaved caller would pass.
#include <gtest/gtest.h>
#include <string>

#include <sockscope/sockscope.h>

#include "support/child_process.h"

using namespace sockscope_test;

namespace {

TEST(LookupInput, BadNamesGiveZero) {
    sockscope library;
    const std::u16string huge(1 << 20, u'a'); // a mebibyte of code units
    const char16_t lone_high[] = {u'a', 0xD800, u'b', 0};
    const char16_t lone_low[] = {0xDFFF, 0};
    for (const char16_t* name : {static_cast<const char16_t*>(nullptr), u"", huge.c_str(), lone_high, lone_low}) {
        EXPECT_EQ(library.getProcessId(name), 0u);
        EXPECT_EQ(library.getnetPort_gx2(name), 0u);
    }
}

TEST(LookupInput, AZeroInsideEndsTheName) {
    const std::string name = unique_name("sszero");
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1"});
    const std::u16string with_tail = std::u16string(name.begin(), name.end()) + u'\0' + u"tail";
    sockscope library;
    EXPECT_EQ(library.getProcessId(with_tail.c_str()), static_cast<std::uint32_t>(child.pid()));
    EXPECT_EQ(library.getnetPort_gx2(with_tail.c_str()), child.ports().at(0));
}

} // namespace

// SPDX-License-Identifier: MIT
// UTF-16 process names read character by character, and written as UTF-8.
// A name can hold any code units, so a surrogate may come without its
// partner; every reader of a name meets it through next_code_point.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sockscope_text {

// One character of a UTF-16 text.
struct CodePoint {
    char32_t value = 0;    // the code point; for an unpaired surrogate, its code unit
    bool unpaired = false; // a high surrogate not followed by a low one, or a low one alone
};

// Reads the character that starts at text[at] and moves `at` past it: two
// code units for a surrogate pair, otherwise one. `at` < text.size().
CodePoint next_code_point(std::u16string_view text, std::size_t& at);

// Appends the code point `c` (at most U+10FFFF) as UTF-8.
void append_utf8(std::string& out, char32_t c);

// `text` as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8_of(std::u16string_view text);

} // namespace sockscope_text

// SPDX-License-Identifier: MIT
// UTF-16 process names as UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace sockscope_text {

// Appends the code point `c` (at most U+10FFFF) as UTF-8.
void append_utf8(std::string& out, char32_t c);

// `text` as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8_of(std::u16string_view text);

} // namespace sockscope_text

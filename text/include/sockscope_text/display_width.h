// SPDX-License-Identifier: MIT
// Text measured and cut in terminal columns, in the character set of the C
// library's current locale (LC_CTYPE), for tables that must fit a screen.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sockscope_text {

// The columns `text` takes on a terminal: each character's width (two for
// a wide East Asian one, none for a combining mark); a byte the locale
// can't read, or a character it calls unprintable, counts one.
std::size_t display_width(std::string_view text);

// The length in bytes of the longest start of `text` made of whole
// characters that takes at most `columns`.
std::size_t fitting_prefix(std::string_view text, std::size_t columns);

// What marks text left out: "…" (U+2026) where the locale's character set
// has it, "~" elsewhere (plain ASCII, so that no locale shows it as
// garbage). One column either way.
std::string ellipsis();

} // namespace sockscope_text

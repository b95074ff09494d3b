// SPDX-License-Identifier: MIT
// UTF-8 texts (the names the C interface gives) read character by
// character.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace sockscope_text {

// Reads the character that starts at text[at] and moves `at` past it. A
// byte sequence that is no character (a maximal ill-formed subpart: a stray
// continuation byte, a cut or overlong sequence, a surrogate, a value past
// U+10FFFF) reads as nothing and is passed over whole. `at` < text.size().
std::optional<char32_t> next_utf8_character(std::string_view text, std::size_t& at);

} // namespace sockscope_text

// SPDX-License-Identifier: MIT
// Whole-text number parsing: the one way the library reads numbers out of
// /proc and netlink texts.
#pragma once

#include <charconv>
#include <string_view>
#include <system_error>

namespace sockscope_detail {

// True when all of `text` is a number in `base` that fits `value`; no sign,
// no blanks, no prefix. Leading zeros are accepted.
template <typename Unsigned>
bool parse_number(std::string_view text, Unsigned& value, int base = 10) {
    if (text.empty() || text.front() == '-' || text.front() == '+') return false;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    return error == std::errc() && stop == end;
}

} // namespace sockscope_detail

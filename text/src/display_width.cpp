// SPDX-License-Identifier: MIT
#include "sockscope_text/display_width.h"

#include <algorithm>
#include <climits>
#include <cwchar>

namespace sockscope_text {
namespace {

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Walks `text` character by character, calling `each(bytes, columns)`
// until it returns false.
template <typename Each>
void for_each_character(std::string_view text, Each each) {
    std::mbstate_t state{};
    for (std::size_t at = 0; at < text.size();) {
        wchar_t c = 0;
        std::size_t length = std::mbrtowc(&c, text.data() + at, text.size() - at, &state);
        std::size_t columns = 1;
        if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2) || length == 0) {
            length = 1; // a byte the locale can't read (or a null) stands for itself
            state = std::mbstate_t{};
        } else if (const int width = wcwidth(c); width >= 0) {
            columns = static_cast<std::size_t>(width);
        }
        if (!each(length, columns)) return;
        at += length;
    }
}

} // namespace

std::size_t display_width(std::string_view text) {
    if (is_ascii(text)) return text.size();
    std::size_t total = 0;
    for_each_character(text, [&total](std::size_t, std::size_t columns) {
        total += columns;
        return true;
    });
    return total;
}

std::size_t fitting_prefix(std::string_view text, std::size_t columns) {
    if (is_ascii(text)) return std::min(text.size(), columns);
    std::size_t bytes = 0, used = 0;
    for_each_character(text, [&](std::size_t length, std::size_t width) {
        if (used + width > columns) return false;
        used += width;
        bytes += length;
        return true;
    });
    return bytes;
}

std::string ellipsis() {
    char bytes[MB_LEN_MAX];
    std::mbstate_t state{};
    const std::size_t length = std::wcrtomb(bytes, L'\u2026', &state);
    if (length == static_cast<std::size_t>(-1) || wcwidth(L'\u2026') != 1) return "~";
    return std::string(bytes, length);
}

} // namespace sockscope_text

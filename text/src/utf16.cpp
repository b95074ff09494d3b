// SPDX-License-Identifier: MIT
#include "sockscope_text/utf16.h"

namespace sockscope_text {
namespace {

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

} // namespace

CodePoint next_code_point(std::u16string_view text, std::size_t& at) {
    const char32_t unit = text[at++];
    if (is_high_surrogate(unit) && at < text.size() && is_low_surrogate(text[at]))
        return {0x10000 + ((unit - 0xD800) << 10) + (text[at++] - 0xDC00), false};
    return {unit, is_high_surrogate(unit) || is_low_surrogate(unit)};
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string utf8_of(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const CodePoint c = next_code_point(text, at);
        append_utf8(out, c.unpaired ? 0xFFFD : c.value);
    }
    return out;
}

} // namespace sockscope_text

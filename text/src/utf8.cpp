// SPDX-License-Identifier: MIT
#include "sockscope_text/utf8.h"

namespace sockscope_text {

std::optional<char32_t> next_utf8_character(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at++]);
    if (lead < 0x80) return lead;
    unsigned following;
    char32_t value;
    unsigned char low = 0x80, high = 0xBF; // what the second byte may be
    if (lead >= 0xC2 && lead <= 0xDF) {
        following = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        following = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;  // overlong
        if (lead == 0xED) high = 0x9F; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        following = 3;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;  // overlong
        if (lead == 0xF4) high = 0x8F; // past U+10FFFF
    } else {
        return std::nullopt;
    }
    for (unsigned k = 0; k < following; ++k) {
        if (at == text.size()) return std::nullopt;
        const auto next = static_cast<unsigned char>(text[at]);
        if (next < (k == 0 ? low : 0x80) || next > (k == 0 ? high : 0xBF)) return std::nullopt; // starts anew
        value = (value << 6) | (next & 0x3F);
        ++at;
    }
    return value;
}

} // namespace sockscope_text

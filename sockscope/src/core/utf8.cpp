// SPDX-License-Identifier: MIT
#include "core/utf8.h"

#include <cstdint>
#include <cstdlib>

namespace sockscope_detail {
namespace {

constexpr char32_t replacement = 0xFFFD;

// Decodes one code point starting at bytes[i] and advances i past it (or
// past the maximal ill-formed subpart, yielding U+FFFD).
char32_t decode_one(std::string_view bytes, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(bytes[i++]);
    if (lead < 0x80) return lead;

    unsigned needed;
    char32_t value;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the 2nd byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        needed = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;  // no overlong forms
        if (lead == 0xED) high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        needed = 3;
        value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;  // no overlong forms
        if (lead == 0xF4) high = 0x8F; // nothing above U+10FFFF
    } else {
        return replacement;
    }

    for (unsigned k = 0; k < needed; ++k) {
        if (i >= bytes.size()) return replacement;
        const auto next = static_cast<unsigned char>(bytes[i]);
        const unsigned char lo = k == 0 ? low : 0x80;
        const unsigned char hi = k == 0 ? high : 0xBF;
        if (next < lo || next > hi) return replacement; // next byte starts anew
        value = (value << 6) | (next & 0x3F);
        ++i;
    }
    return value;
}

// Calls emit with each UTF-16 code unit of the decoded text; never more
// units than there are bytes.
template <typename Emit>
void for_each_unit(std::string_view bytes, Emit emit) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const char32_t c = decode_one(bytes, i);
        if (c < 0x10000) {
            emit(static_cast<char16_t>(c));
        } else {
            emit(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            emit(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    }
}

} // namespace

char16_t* utf8_to_heap_utf16(std::string_view bytes) {
    auto* block = static_cast<char16_t*>(std::malloc((bytes.size() + 1) * sizeof(char16_t)));
    if (block == nullptr) return nullptr;
    char16_t* end = block;
    for_each_unit(bytes, [&end](char16_t unit) { *end++ = unit; });
    *end = u'\0';
    return block;
}

std::string well_formed_utf8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t start = i;
        const char32_t c = decode_one(bytes, i);
        if (c != replacement || (i - start == 3 && bytes.substr(start, 3) == "\xEF\xBF\xBD")) {
            text.append(bytes.substr(start, i - start)); // well formed: as it is
            continue;
        }
        text.append("\xEF\xBF\xBD");
    }
    return text;
}

bool utf8_equals_utf16(std::string_view bytes, const char16_t* name) {
    bool equal = true;
    std::size_t i = 0;
    for_each_unit(bytes, [&](char16_t unit) {
        if (equal && unit != u'\0' && name[i] == unit) ++i; // never reads past name's terminator
        else equal = false;
    });
    return equal && name[i] == u'\0';
}

} // namespace sockscope_detail

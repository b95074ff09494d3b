// SPDX-License-Identifier: MIT
#include "core/utf8.h"

#include <cstdint>
#include <cstdlib>

#include "sockscope_text/utf8.h"

namespace sockscope_detail {
namespace {

constexpr char32_t replacement = 0xFFFD;

// Decodes one code point starting at bytes[i] and advances i past it (or
// past the maximal ill-formed subpart, yielding U+FFFD).
char32_t decode_one(std::string_view bytes, std::size_t& i) {
    return sockscope_text::next_utf8_character(bytes, i).value_or(replacement);
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
        if (sockscope_text::next_utf8_character(bytes, i)) text.append(bytes.substr(start, i - start)); // as it is
        else text.append("\xEF\xBF\xBD");
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

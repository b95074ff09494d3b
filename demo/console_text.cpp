#include "console_text.h"

#include <climits>
#include <cwchar>

namespace sockscope_demo {
namespace {

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

} // namespace

std::string to_locale_text(const char16_t* name) {
    if (name == nullptr) return "-";
    std::string text;
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (const char16_t* unit = name; *unit != 0; ++unit) {
        char32_t c = *unit;
        if (is_high_surrogate(*unit) && is_low_surrogate(unit[1])) {
            c = 0x10000 + ((static_cast<char32_t>(*unit) - 0xD800) << 10) + (unit[1] - 0xDC00);
            ++unit;
        } else if (is_high_surrogate(*unit) || is_low_surrogate(*unit)) {
            text += '?';
            continue;
        }
        // glibc's wchar_t holds a whole code point (UCS-4).
        const std::size_t length = std::wcrtomb(bytes, static_cast<wchar_t>(c), &state);
        if (length == static_cast<std::size_t>(-1)) {
            text += '?';
            state = std::mbstate_t{};
        } else {
            text.append(bytes, length);
        }
    }
    return text;
}

} // namespace sockscope_demo

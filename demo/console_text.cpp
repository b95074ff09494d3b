#include "console_text.h"

#include <climits>
#include <cwchar>

namespace sockscope_demo {
namespace {

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
bool is_c1_control(char32_t c) { return c >= 0x80 && c <= 0x9F; }

// Bytes that would split the field or drive the terminal. Tested on bytes,
// not characters, so that a trail byte equal to a backslash (as in some
// East Asian character sets) is escaped too and the field stays unambiguous.
bool must_escape(unsigned char byte) { return byte <= 0x20 || byte == 0x7F || byte == '\\'; }

void append_octal(std::string& out, unsigned char byte) {
    const char escape[4] = {'\\', static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + ((byte >> 3) & 7)),
                            static_cast<char>('0' + (byte & 7))};
    out.append(escape, sizeof escape);
}

void append_byte(std::string& out, unsigned char byte, bool escape_anyway) {
    if (escape_anyway || must_escape(byte))
        append_octal(out, byte);
    else
        out += static_cast<char>(byte);
}

} // namespace

void append_escaped_name(std::string& out, const char16_t* name) {
    if (name == nullptr || *name == 0) {
        out += '-';
        return;
    }
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (const char16_t* unit = name; *unit != 0; ++unit) {
        char32_t c = *unit;
        if (is_high_surrogate(*unit) && is_low_surrogate(unit[1])) {
            c = 0x10000 + ((static_cast<char32_t>(*unit) - 0xD800) << 10) + (unit[1] - 0xDC00);
            ++unit;
        } else if (is_high_surrogate(*unit) || is_low_surrogate(*unit)) {
            out += '?';
            continue;
        }
        // Every character set a glibc locale can use writes ASCII as itself,
        // so the common case skips the conversion.
        if (c < 0x80 && std::mbsinit(&state)) {
            append_byte(out, static_cast<unsigned char>(c), false);
            continue;
        }
        // glibc's wchar_t holds a whole code point (UCS-4).
        const std::size_t length = std::wcrtomb(bytes, static_cast<wchar_t>(c), &state);
        if (length == static_cast<std::size_t>(-1)) {
            out += '?';
            state = std::mbstate_t{};
            continue;
        }
        for (std::size_t i = 0; i < length; ++i)
            append_byte(out, static_cast<unsigned char>(bytes[i]), is_c1_control(c));
    }
    // A character set with shift states ends the text in its initial state.
    if (!std::mbsinit(&state)) {
        const std::size_t length = std::wcrtomb(bytes, L'\0', &state);
        if (length != static_cast<std::size_t>(-1) && length > 1)
            for (std::size_t i = 0; i + 1 < length; ++i) append_byte(out, static_cast<unsigned char>(bytes[i]), false);
    }
}

std::string escaped_name(const char16_t* name) {
    std::string text;
    append_escaped_name(text, name);
    return text;
}

} // namespace sockscope_demo

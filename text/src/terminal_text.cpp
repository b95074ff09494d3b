// SPDX-License-Identifier: MIT
#include "sockscope_text/terminal_text.h"

#include <climits>
#include <cwchar>

namespace sockscope_text {
namespace {

bool is_high_surrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

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

bool is_hidden_control(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x2028 || c == 0x2029;
}

void append_escaped_name(std::string& out, const char16_t* name) {
    if (name == nullptr || *name == 0) {
        out += '-';
        return;
    }
    std::mbstate_t state{};
    bool initial_state = true;
    char bytes[MB_LEN_MAX];
    const char16_t* unit = name;
    for (;;) {
        // Every character set a glibc locale can use writes ASCII as itself,
        // so a run of printable ASCII is copied as it is, without conversion.
        if (initial_state) {
            const char16_t* run = unit;
            while (*unit > 0x20 && *unit < 0x7F && *unit != u'\\') ++unit;
            if (unit != run) {
                const std::size_t at = out.size();
                out.resize(at + static_cast<std::size_t>(unit - run));
                for (char* copy = out.data() + at; run != unit; ++run) *copy++ = static_cast<char>(*run);
            }
        }
        if (*unit == 0) break;

        char32_t c = *unit++;
        if (is_high_surrogate(static_cast<char16_t>(c)) && is_low_surrogate(*unit)) {
            c = 0x10000 + ((c - 0xD800) << 10) + (*unit++ - 0xDC00);
        } else if (is_high_surrogate(static_cast<char16_t>(c)) || is_low_surrogate(static_cast<char16_t>(c))) {
            out += '?';
            continue;
        }
        if (c < 0x80 && initial_state) {
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
            append_byte(out, static_cast<unsigned char>(bytes[i]), is_hidden_control(c));
        initial_state = std::mbsinit(&state) != 0;
    }
    // A character set with shift states ends the text in its initial state.
    if (!initial_state) {
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

} // namespace sockscope_text

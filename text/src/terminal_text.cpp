// SPDX-License-Identifier: MIT
#include "sockscope_text/terminal_text.h"

#include <climits>
#include <cwchar>
#include <string_view>

#include "sockscope_text/utf16.h"

namespace sockscope_text {
namespace {

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
    const std::u16string_view text(name);
    std::mbstate_t state{};
    bool initial_state = true;
    char bytes[MB_LEN_MAX];
    std::size_t at = 0;
    for (;;) {
        // Every character set a glibc locale can use writes ASCII as itself,
        // so a run of printable ASCII is copied as it is, without conversion.
        if (initial_state) {
            std::size_t run = at;
            while (at < text.size() && text[at] > 0x20 && text[at] < 0x7F && text[at] != u'\\') ++at;
            if (at != run) {
                const std::size_t end = out.size();
                out.resize(end + (at - run));
                for (char* copy = out.data() + end; run != at; ++run) *copy++ = static_cast<char>(text[run]);
            }
        }
        if (at == text.size()) break;

        const CodePoint next = next_code_point(text, at);
        if (next.unpaired) {
            out += '?';
            continue;
        }
        const char32_t c = next.value;
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

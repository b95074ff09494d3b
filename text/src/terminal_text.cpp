// SPDX-License-Identifier: MIT
#include "sockscope_text/terminal_text.h"

#include <climits>
#include <cwchar>

#include "sockscope_text/utf16.h"
#include "sockscope_text/utf8.h"

namespace sockscope_text {
namespace {

// Bytes that would split the field or drive the terminal, and those the
// caller adds. Tested on bytes, not characters, so that a trail byte equal
// to a backslash (as in some East Asian character sets) is escaped too and
// the field stays unambiguous.
bool must_escape(unsigned char byte, std::string_view also) {
    return byte <= 0x20 || byte == 0x7F || byte == '\\' || (byte < 0x80 && also.find(static_cast<char>(byte)) != std::string_view::npos);
}

void append_octal(std::string& out, unsigned char byte) {
    const char escape[4] = {'\\', static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + ((byte >> 3) & 7)),
                            static_cast<char>('0' + (byte & 7))};
    out.append(escape, sizeof escape);
}

void append_byte(std::string& out, unsigned char byte, bool escape_anyway, std::string_view also) {
    if (escape_anyway || must_escape(byte, also))
        append_octal(out, byte);
    else
        out += static_cast<char>(byte);
}

// A name's code units as the escaping loop reads them: UTF-16 (the C++
// interface's names) or UTF-8 (the C interface's).
struct Utf16Name {
    std::u16string_view text;
    char32_t unit(std::size_t at) const { return text[at]; }
    std::optional<char32_t> next(std::size_t& at) const {
        const CodePoint c = next_code_point(text, at);
        if (c.unpaired) return std::nullopt;
        return c.value;
    }
};

struct Utf8Name {
    std::string_view text;
    char32_t unit(std::size_t at) const { return static_cast<unsigned char>(text[at]); }
    std::optional<char32_t> next(std::size_t& at) const { return next_utf8_character(text, at); }
};

template <typename Name>
void append_escaped(std::string& out, const Name& name, std::size_t size, std::string_view also) {
    std::mbstate_t state{};
    bool initial_state = true;
    char bytes[MB_LEN_MAX];
    std::size_t at = 0;
    const auto plain = [also](char32_t unit) {
        return unit > 0x20 && unit < 0x7F && unit != u'\\' && also.find(static_cast<char>(unit)) == std::string_view::npos;
    };
    for (;;) {
        // Every character set a glibc locale can use writes ASCII as itself,
        // so a run of printable ASCII is copied as it is, without conversion.
        if (initial_state) {
            std::size_t run = at;
            while (at < size && plain(name.unit(at))) ++at;
            if (at != run) {
                const std::size_t end = out.size();
                out.resize(end + (at - run));
                for (char* copy = out.data() + end; run != at; ++run) *copy++ = static_cast<char>(name.unit(run));
            }
        }
        if (at == size) break;

        const std::optional<char32_t> next = name.next(at);
        if (!next) {
            out += '?';
            continue;
        }
        const char32_t c = *next;
        if (c < 0x80 && initial_state) {
            append_byte(out, static_cast<unsigned char>(c), false, also);
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
            append_byte(out, static_cast<unsigned char>(bytes[i]), is_hidden_control(c), also);
        initial_state = std::mbsinit(&state) != 0;
    }
    // A character set with shift states ends the text in its initial state.
    if (!initial_state) {
        const std::size_t length = std::wcrtomb(bytes, L'\0', &state);
        if (length != static_cast<std::size_t>(-1) && length > 1)
            for (std::size_t i = 0; i + 1 < length; ++i) append_byte(out, static_cast<unsigned char>(bytes[i]), false, also);
    }
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
    append_escaped(out, Utf16Name{text}, text.size(), {});
}

std::string escaped_name(const char16_t* name) {
    std::string text;
    append_escaped_name(text, name);
    return text;
}

void append_escaped_utf8_name(std::string& out, const char* name, std::string_view also_escape) {
    if (name == nullptr || *name == 0) {
        out += '-';
        return;
    }
    const std::string_view text(name);
    append_escaped(out, Utf8Name{text}, text.size(), also_escape);
}

} // namespace sockscope_text

// SPDX-License-Identifier: MIT
#include "sockscope_text/json_string.h"

#include "sockscope_text/terminal_text.h"
#include "sockscope_text/utf16.h"
#include "sockscope_text/utf8.h"

namespace sockscope_text {
namespace {

void append_unicode_escape(std::string& out, char32_t unit) {
    constexpr const char* hex = "0123456789abcdef";
    const char escape[6] = {'\\', 'u', hex[(unit >> 12) & 0xF], hex[(unit >> 8) & 0xF], hex[(unit >> 4) & 0xF],
                            hex[unit & 0xF]};
    out.append(escape, sizeof escape);
}

void append_character(std::string& out, char32_t c) {
    switch (c) {
    case u'"': out += "\\\""; return;
    case u'\\': out += "\\\\"; return;
    case u'\b': out += "\\b"; return;
    case u'\f': out += "\\f"; return;
    case u'\n': out += "\\n"; return;
    case u'\r': out += "\\r"; return;
    case u'\t': out += "\\t"; return;
    default: break;
    }
    if (c < 0x20 || c == 0x7F || is_hidden_control(c))
        append_unicode_escape(out, c);
    else
        append_utf8(out, c);
}

} // namespace

void append_json_string(std::string& out, std::u16string_view text) {
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const CodePoint c = next_code_point(text, at);
        if (c.unpaired)
            append_unicode_escape(out, c.value);
        else
            append_character(out, c.value);
    }
    out += '"';
}

void append_json_utf8(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const std::optional<char32_t> c = next_utf8_character(text, at);
        if (c)
            append_character(out, *c);
        else
            append_unicode_escape(out, 0xFFFD);
    }
    out += '"';
}

void append_json_ascii(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) append_character(out, static_cast<unsigned char>(c));
    out += '"';
}

} // namespace sockscope_text

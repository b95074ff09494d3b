// SPDX-License-Identifier: MIT
#include "json_output.h"

#include "console_text.h"
#include "listing_line.h"
#include "utf16.h"

namespace sockscope_tool {
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
    if (c < 0x20 || c == 0x7F || sockscope_demo::is_hidden_control(c))
        append_unicode_escape(out, c);
    else
        append_utf8(out, c);
}

// Library texts (addresses, state names) are ASCII; escaped all the same.
void append_json_ascii(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) append_character(out, static_cast<unsigned char>(c));
    out += '"';
}

void append_key(std::string& out, const char* key) {
    out += '"';
    out += key;
    out += "\":";
}

} // namespace

void append_json_string(std::string& out, std::u16string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            append_unicode_escape(out, unit);
        } else {
            append_character(out, unit);
        }
    }
    out += '"';
}

void append_json_line(std::string& out, const SocketRow& row) {
    out += '{';
    append_key(out, "protocol");
    out += row.protocol == Protocol::tcp ? "\"tcp\"" : "\"udp\"";
    out += ',';
    append_key(out, "family");
    out += row.family == Family::ipv4 ? "\"ipv4\"" : "\"ipv6\"";
    out += ',';
    append_key(out, "local_address");
    append_json_ascii(out, row.local_address);
    out += ',';
    append_key(out, "local_port");
    sockscope_demo::append_decimal(out, row.local_port);
    out += ',';
    append_key(out, "remote_address");
    if (row.remote_address)
        append_json_ascii(out, *row.remote_address);
    else
        out += "null";
    out += ',';
    append_key(out, "remote_port");
    if (row.remote_port)
        sockscope_demo::append_decimal(out, *row.remote_port);
    else
        out += "null";
    out += ',';
    append_key(out, "state");
    if (row.state)
        append_json_ascii(out, *row.state);
    else
        out += "null";
    out += ',';
    append_key(out, "pid");
    if (row.pid != 0)
        sockscope_demo::append_decimal(out, row.pid);
    else
        out += "null";
    out += ',';
    append_key(out, "name");
    if (row.name)
        append_json_string(out, *row.name);
    else
        out += "null";
    out += "}\n";
}

} // namespace sockscope_tool

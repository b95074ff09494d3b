// SPDX-License-Identifier: MIT
// The pieces of a JSON member that the table's and the stream's JSON both
// write: a key, and values that are null when they are not known.
#pragma once

#include <cstdint>
#include <string>

#include <sockscope_text/decimal.h>
#include <sockscope_text/json_string.h>

namespace sockscope_tool {

inline void append_json_key(std::string& out, const char* key) {
    out += '"';
    out += key;
    out += "\":";
}

inline void append_json_number_or_null(std::string& out, std::uint64_t value, bool known) {
    if (known)
        sockscope_text::append_decimal(out, value);
    else
        out += "null";
}

// A text from the kernel or a process, as UTF-8 with anything ill-formed
// replaced; null when there is none.
inline void append_json_text_or_null(std::string& out, const char* text) {
    if (text == nullptr)
        out += "null";
    else
        sockscope_text::append_json_utf8(out, text);
}

} // namespace sockscope_tool

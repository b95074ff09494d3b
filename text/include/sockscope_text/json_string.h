// SPDX-License-Identifier: MIT
// JSON strings, always UTF-8 whatever the locale, safe to show on a
// terminal.
#pragma once

#include <string>
#include <string_view>

namespace sockscope_text {

// Appends `text` as a JSON string. Quote and backslash are escaped, and so
// is every character a terminal could take for a command: C0 controls, DEL
// and C1 controls as \u00XX (\b \f \n \r \t in their short forms), and the
// bidirectional format characters and line and paragraph separators as
// \uXXXX (is_hidden_control in terminal_text.h). A surrogate without its
// partner keeps its code unit as \uXXXX, so the name reads back exactly.
// Everything else is UTF-8.
void append_json_string(std::string& out, std::u16string_view text);

// The same for UTF-8 text (the C interface's names): a byte sequence that
// is no character is written as \ufffd.
void append_json_utf8(std::string& out, std::string_view text);

// The same for a text of the library's own (an address, a state name),
// which is ASCII; each byte is taken for the character of that number.
void append_json_ascii(std::string& out, std::string_view text);

} // namespace sockscope_text

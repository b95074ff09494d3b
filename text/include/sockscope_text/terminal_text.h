// SPDX-License-Identifier: MIT
// Process names as text for the terminal: multibyte characters of the C
// library's current locale (LC_CTYPE), escaped so that a name can neither
// break a line into more fields nor reach the terminal as a control code.
#pragma once

#include <string>
#include <string_view>

namespace sockscope_text {

// Appends `name` converted character by character to the locale's character
// set. A character the locale can't represent, or an unpaired surrogate,
// becomes "?". Then, as /proc/self/mounts escapes its fields, every output
// byte that is a blank, a control character (0x01-0x1F, 0x7F) or a backslash
// becomes a backslash and three octal digits ("\040", "\011", "\012",
// "\134", ...), and so does every byte of a character that is_hidden_control
// names. A null or empty name appends "-".
void append_escaped_name(std::string& out, const char16_t* name);

// append_escaped_name as a new string.
std::string escaped_name(const char16_t* name);

// The same for a UTF-8 name (a byte sequence that is no character prints
// as "?"), and every ASCII character of `also_escape` escaped too, so that
// a list can use it as a separator (the tool's "pid/name,pid/name").
void append_escaped_utf8_name(std::string& out, const char* name, std::string_view also_escape = {});

// Characters beyond ASCII that act on the text rather than show: the C1
// controls U+0080-U+009F, which some terminals obey like an escape
// sequence, and the format characters that reorder or break the text after
// them (the bidirectional marks, embeddings, overrides and isolates U+061C,
// U+200E, U+200F, U+202A-U+202E, U+2066-U+2069; the line and paragraph
// separators U+2028, U+2029). A name carrying one could make the fields
// after it look like others.
bool is_hidden_control(char32_t c);

} // namespace sockscope_text

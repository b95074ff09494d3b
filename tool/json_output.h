// SPDX-License-Identifier: MIT
// The tool's JSON output: one object per socket on a line of its own
// (JSON Lines), always UTF-8 whatever the locale. The schema, stable:
//
//   {"protocol":"tcp"|"udp", "family":"ipv4"|"ipv6",
//    "local_address":string, "local_port":number,
//    "remote_address":string|null, "remote_port":number|null,   (null for UDP)
//    "state":string|null,                                       (null for UDP)
//    "pid":number|null, "name":string|null}                     (null: unknown)
//
// in that order. States are the library's names ("LISTEN", "ESTABLISH",
// "TIMEWAIT", ...).
#pragma once

#include <string>
#include <string_view>

#include "socket_row.h"

namespace sockscope_tool {

// Appends `text` as a JSON string. Quote and backslash are escaped, and so
// is every character a terminal could take for a command: C0 controls, DEL
// and C1 controls as \u00XX (\b \f \n \r \t in their short forms), and the
// bidirectional format characters and line and paragraph separators as
// \uXXXX (sockscope_demo::is_hidden_control). A surrogate without its
// partner keeps its code unit as \uXXXX, so the name reads back exactly.
// Everything else is UTF-8.
void append_json_string(std::string& out, std::u16string_view text);

// The object for `row` and a newline.
void append_json_line(std::string& out, const SocketRow& row);

} // namespace sockscope_tool

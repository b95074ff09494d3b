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
// "TIMEWAIT", ...). Strings are written as sockscope_text/json_string.h
// says.
#pragma once

#include <string>

#include "listed_socket.h"

namespace sockscope_tool {

// The object for `row` and a newline.
void append_json_line(std::string& out, const ListedSocket& row);

} // namespace sockscope_tool

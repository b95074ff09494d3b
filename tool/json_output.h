// SPDX-License-Identifier: MIT
// The tool's JSON output: one object per socket on a line of its own (JSON
// Lines), always UTF-8 whatever the locale. The schema, stable, members
// always present and in this order:
//
//   {"protocol":"tcp"|"udp", "family":"ipv4"|"ipv6",
//    "local_address":string, "local_port":number,
//    "remote_address":string|null, "remote_port":number|null, (null: no peer)
//    "state":string,                 (ESTABLISHED, LISTEN, ...; UNCONN)
//    "receive_queue":number, "send_queue":number,
//    "interface":number|null,        (the scope's interface index; null: none)
//    "v6only":bool|null,             (null for IPv4)
//    "uid":number, "user":string|null, (null: the user has no name)
//    "inode":number|null, "cookie":number|null, (null: none, not known)
//    "owners":[{"pid":number, "fd":number,
//               "name":string|null, "comm":string|null}, ...]}
//
// Addresses are the library's texts ("fe80::1%eth0"); a dual-stack
// wildcard is "::" with v6only false (the table's "*"). Strings are written
// as sockscope_text/json_string.h says.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "listing.h"
#include "output_buffer.h"

namespace sockscope_tool {

// A line per listed socket.
void write_json(const Listing& listing, OutputBuffer& out);

// The line before each table of --watch --json:
// {"time":"2026-01-31T12:34:56.789Z","sockets":N} (RFC 3339, UTC).
void append_json_time_line(std::string& out, std::chrono::system_clock::time_point now, std::size_t sockets);

} // namespace sockscope_tool

// SPDX-License-Identifier: MIT
// A socket's details (-i, -o, -m: its TCP state in the kernel, its timer,
// its memory) as the table's line under its row and as JSON members.
#pragma once

#include <cstdint>
#include <string>

#include <sockscope/sockets.h>

#include "json_writer.h"

namespace sockscope_tool {

// The socket's details as `snapshot` holds them: each null when the socket
// has none, or the library's socket record ends before it.
struct SocketDetailsView {
    const sockscope_tcp_info* tcp_info = nullptr;
    const sockscope_timer* timer = nullptr;
    const sockscope_memory* memory = nullptr;
    bool listening = false; // a listener's TCP state is its algorithm only
};
SocketDetailsView details_of(const sockscope_snapshot& snapshot, const sockscope_socket& socket);

// The details `asked` (SOCKSCOPE_TCP_INFO, _TIMER, _MEMORY) of one socket
// as one line of `name:value` fields, e.g.
//   timer:(keepalive,7.2s,0) skmem:(r0,rb131072,t0,tb2626560,f0,w0,o0,bl0,d0) cubic rtt:0.04/0.02 ...
// Empty when the socket has none of them.
void append_details_line(std::string& out, const SocketDetailsView& details);

// The members "tcp_info", "timer" and "memory", each asked for, as objects
// (null where the socket has none).
void write_details_json(JsonWriter& json, const SocketDetailsView& details, std::uint32_t asked);

} // namespace sockscope_tool

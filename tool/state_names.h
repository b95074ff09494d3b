// SPDX-License-Identifier: MIT
// Socket states by name: what --state takes, and what the table shows.
#pragma once

#include <cstdint>
#include <string_view>

#include <sockscope/sockets.h>

namespace sockscope_tool {

// The SOCKSCOPE_STATE_BIT of the state `name` stands for, 0 when it names
// none. Names are the kernel's (ESTABLISHED, SYN_SENT, SYN_RECV, FIN_WAIT1,
// FIN_WAIT2, TIME_WAIT, CLOSE, CLOSE_WAIT, LAST_ACK, LISTEN, CLOSING,
// NEW_SYN_RECV), UNCONN (an unconnected UDP socket: the kernel's CLOSE) and
// ESTAB, in any case, with or without their '_' (or '-' in its place).
std::uint32_t state_bit_named(std::string_view name);

// A socket's state as the table shows it: its standard name, with
// ESTABLISHED, the most frequent and the longest, shortened to ESTAB.
std::string_view table_state_name(const sockscope_socket& socket);

} // namespace sockscope_tool

// SPDX-License-Identifier: MIT
// Kernel TCP states (include/net/tcp_states.h) to the library's 1..12.
#pragma once

#include <cstdint>

namespace sockscope_detail {

// ESTABLISHED 5, SYN_SENT 3, SYN_RECV and NEW_SYN_RECV 4, FIN_WAIT1 6,
// FIN_WAIT2 7, TIME_WAIT 11, CLOSE 1, CLOSE_WAIT 8, LAST_ACK 10, LISTEN 2,
// CLOSING 9; anything else 1 (closed).
std::uint32_t state_from_kernel(unsigned kernel_state);

// The kernel states whose sockets the TCP table lists, as a bit mask of
// (1 << state): every state but the bound-only one.
constexpr std::uint32_t tcp_listed_states = 0x1FFEu; // states 1..12

// UDP sockets are unconnected (CLOSE, 7) or connected (ESTABLISHED, 1).
constexpr std::uint32_t udp_listed_states = (1u << 7) | (1u << 1);

// Name of a connection state 1..12 ("CLOSED" .. "DELETE_TCB"); "UNKNOWN"
// for any other value.
const char* state_name(std::uint32_t state);

} // namespace sockscope_detail

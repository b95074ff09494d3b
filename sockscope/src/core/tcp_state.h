// SPDX-License-Identifier: MIT
// Socket states: the kernel's numbers (include/net/tcp_states.h), their
// standard names, and the numbering and names of the statTCPROW records.
#pragma once

#include <cstdint>

namespace sockscope_detail {

namespace kernel_states {
constexpr std::uint8_t established = 1, syn_sent = 2, syn_recv = 3, fin_wait1 = 4, fin_wait2 = 5, time_wait = 6,
                       close = 7, close_wait = 8, last_ack = 9, listen = 10, closing = 11, new_syn_recv = 12;
} // namespace kernel_states

// The standard name of a kernel state as ss and netstat print it
// ("ESTABLISHED", "SYN_SENT", ... "NEW_SYN_RECV"); a UDP socket's is
// "UNCONN" when unconnected (CLOSE) and "ESTABLISHED" when connected.
// "UNKNOWN" for a number the kernel doesn't use.
const char* kernel_state_name(bool tcp, std::uint8_t state);

// The kernel's state as a statTCPROW numbers it: ESTABLISHED 5, SYN_SENT 3,
// SYN_RECV and NEW_SYN_RECV 4, FIN_WAIT1 6, FIN_WAIT2 7, TIME_WAIT 11,
// CLOSE 1, CLOSE_WAIT 8, LAST_ACK 10, LISTEN 2, CLOSING 9; anything else 1
// (closed).
std::uint32_t state_from_kernel(unsigned kernel_state);

// The kernel states whose sockets the TCP table lists, as a bit mask of
// (1 << state): every state but the bound-only one.
constexpr std::uint32_t tcp_listed_states = 0x1FFEu; // states 1..12

// UDP sockets are unconnected (CLOSE, 7) or connected (ESTABLISHED, 1).
constexpr std::uint32_t udp_listed_states = (1u << 7) | (1u << 1);

// Name of a statTCPROW state 1..12 ("CLOSED" .. "DELETE_TCB"); "UNKNOWN"
// for any other value.
const char* state_name(std::uint32_t state);

} // namespace sockscope_detail

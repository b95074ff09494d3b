// SPDX-License-Identifier: MIT
// The BPF programs attached to the kernel hooks that the connection stream
// uses, by anyone: each runs beside the stream's on the same events, so a
// whole-machine figure measured with them attached counts their cost too
// (a forgotten stream attached a dozen times over, for one).
#pragma once

#include <string>

namespace sockscope_bench {

// "sys_exit 0, sock_send_length 0, sock_recv_length 0, inet_sock_set_state 2":
// the links attached to each hook now (raw tracepoints and BTF-typed ones);
// "unknown (why)" when they can't be listed.
std::string hook_neighbours();

} // namespace sockscope_bench

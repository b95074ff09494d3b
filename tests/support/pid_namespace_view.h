// SPDX-License-Identifier: MIT
// What the socket holders look like from inside a new PID namespace.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "linux/bpf_socket_holders.h"

namespace sockscope_test {

using ReadHolders = std::function<sockscope_detail::Result<sockscope_detail::SocketHolders>()>;

// Makes a new PID namespace (in a forked child) whose init (number 1)
// opens a socket and shares it with a second process (number 2), then has
// init call `read`. The records must name exactly those two processes, by
// the namespace's own numbers, and must not show the socket behind
// `outside_fd`, which init closes first so that only processes outside the
// namespace hold it. Returns "" when all is well,
// "skip: why" when the machine can't make the namespace, the fault
// otherwise.
std::string check_pid_namespace_view(int outside_fd, const ReadHolders& read);

} // namespace sockscope_test

// SPDX-License-Identifier: MIT
// A sock_diag netlink socket and a request sent on it to the kernel: what a
// dump (netlink_dump.h) and a destroy (socket_destroyer.h) both start with.
#pragma once

#include <span>

#include "core/result.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

// A NETLINK_SOCK_DIAG socket whose reads give up after 10 s: the kernel
// answers at once, and a silent socket is a failure, not a wait.
Result<UniqueFd> open_sock_diag();

// Sends `request` to the kernel whole; EPROTO when only part of it went.
Result<void> send_to_kernel(int fd, std::span<const unsigned char> request);

} // namespace sockscope_detail

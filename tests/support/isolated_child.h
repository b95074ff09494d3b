// SPDX-License-Identifier: MIT
// Runs a function in a forked child, for tests that must change what the
// process may do (its user, its syscalls, its mounts) without touching the
// test process. The function returns "" when all is well, text describing
// the fault otherwise, or "skip: why" when the machine can't set up the
// situation. The child is always reaped; it is killed after `timeout`.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace sockscope_test {

std::string run_isolated(const std::function<std::string()>& body,
                         std::chrono::seconds timeout = std::chrono::seconds(60));

// Inside such a child: refuse every AF_NETLINK socket with EACCES, as some
// sandboxes do. Returns false when the filter can't be installed.
bool refuse_netlink();

// In this process and what it runs: refuse every setns with EPERM, as
// container runtimes' seccomp profiles do (root included). Returns false
// when the filter can't be installed.
bool refuse_setns();

} // namespace sockscope_test

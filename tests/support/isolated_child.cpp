// SPDX-License-Identifier: MIT
#include "isolated_child.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include "forked_child.h"
#include "seccomp_refusal.h"

namespace sockscope_test {

std::string run_isolated(const std::function<std::string()>& body, std::chrono::seconds timeout) {
    ForkedChild child([&](int report) {
        const std::string result = body();
        write_all(report, result.data(), result.size());
    });
    if (child.pid() < 0) return "fork failed";
    const auto deadline = ForkedChild::Clock::now() + timeout;
    std::string result;
    if (!child.read_to_end(result, deadline)) result = "isolated child timed out";
    // Ended or about to: it has what is left of its time, then is killed.
    child.stop(0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ForkedChild::Clock::now()));
    const int status = child.status();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result += " (isolated child died)";
    return result;
}

bool refuse_netlink() { return refuse_system_call(__NR_socket, EACCES, AF_NETLINK); }

bool refuse_setns() { return refuse_system_call(__NR_setns, EPERM); }

} // namespace sockscope_test

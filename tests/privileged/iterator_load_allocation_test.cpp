// SPDX-License-Identifier: MIT
// Loading the kernel iterator with each of its allocations failed in turn,
// each load in a process of its own (a process loads it once): the load
// fails as a whole, or succeeds and answers right, and crashes nowhere,
// libbpf included,
// which makes most of these allocations. (What a failed load leaves on the
// heap is valgrind's to judge, in memcheck_bpf_loads: the dynamic loader,
// the unwinder and libbpf keep caches of their own here, which a count of
// blocks can't tell from leaks.)
#include <algorithm>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "linux/bpf_socket_holders.h"
#include "support/failing_allocations.h"
#include "support/loopback_sockets.h"
#include "support/socket_descriptors.h"

using namespace sockscope_test;

namespace {

enum Outcome { loaded = 10, failed, wrong, no_failure_left };

// In a forked child: loads with allocation `k` failing; returns the exit
// status, the outcome, or 128 plus the signal that ended the child.
int load_failing_allocation(long k, int socket_fd) {
    const pid_t child = fork();
    if (child == 0) {
        fail_allocation_after(k);
        bool answered = false;
        try {
            answered = sockscope_detail::read_socket_holders().ok();
        } catch (const std::bad_alloc&) {
        }
        const bool failed_one = allocation_failed();
        fail_allocation_after(-1);
        if (!failed_one) _exit(no_failure_left);
        if (!answered) _exit(failed);
        // A load that succeeded answers right: it sees this process's socket.
        const auto holders = sockscope_detail::read_socket_holders();
        const bool ours = holders && std::any_of(holders->begin(), holders->end(), [&](const auto& holder) {
            return holder.process == static_cast<std::uint32_t>(getpid()) && holder.fd == static_cast<std::uint32_t>(socket_fd);
        });
        _exit(ours ? loaded : wrong);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(IteratorLoad, EveryFailedAllocationFailsTheLoadAsAWhole) {
    if (const std::string why = why_bpf_unavailable(); !why.empty()) GTEST_SKIP() << why;
    if (sockscope_detail::socket_holders_loaded()) GTEST_SKIP() << "loaded earlier in this process";
    const auto socket = TestSocket::udp_socket("127.0.0.1");
    std::string faults;
    long k = 0;
    for (; k < 10000; ++k) {
        const int outcome = load_failing_allocation(k, socket.fd());
        if (outcome == no_failure_left) break;
        if (outcome != loaded && outcome != failed)
            faults += "allocation " + std::to_string(k) + ": status " + std::to_string(outcome) + "; ";
    }
    EXPECT_EQ(faults, "");
    EXPECT_GT(k, 20) << "the load made fewer allocations than it must";
    RecordProperty("allocations", static_cast<int>(k));
}

} // namespace

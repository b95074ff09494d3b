// SPDX-License-Identifier: MIT
// Loading the kernel iterator with each of its allocations failed in turn,
// each load in a process of its own (a process loads it once): the load
// succeeds or fails as a whole, and crashes nowhere, libbpf included,
// which makes most of these allocations. (What a failed load leaves on the
// heap is valgrind's to judge, in memcheck_bpf_loads: the dynamic loader,
// the unwinder and libbpf keep caches of their own here, which a count of
// blocks can't tell from leaks.)
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "linux/bpf_socket_holders.h"
#include "support/failing_allocations.h"
#include "support/socket_descriptors.h"

using namespace sockscope_test;

namespace {

enum Outcome { loaded = 10, failed, no_failure_left };

// In a forked child: loads with allocation `k` failing; returns the exit
// status, the outcome, or 128 plus the signal that ended the child.
int load_failing_allocation(long k) {
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
        _exit(!failed_one ? no_failure_left : answered ? loaded : failed);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(IteratorLoad, EveryFailedAllocationFailsTheLoadAsAWhole) {
    if (const std::string why = why_bpf_unavailable(); !why.empty()) GTEST_SKIP() << why;
    if (sockscope_detail::socket_holders_loaded()) GTEST_SKIP() << "loaded earlier in this process";
    std::string faults;
    long k = 0;
    for (; k < 10000; ++k) {
        const int outcome = load_failing_allocation(k);
        if (outcome == no_failure_left) break;
        if (outcome != loaded && outcome != failed)
            faults += "allocation " + std::to_string(k) + ": status " + std::to_string(outcome) + "; ";
    }
    EXPECT_EQ(faults, "");
    EXPECT_GT(k, 20) << "the load made fewer allocations than it must";
    RecordProperty("allocations", static_cast<int>(k));
}

} // namespace

// SPDX-License-Identifier: MIT
// Child processes forked for a benchmark load, owned as a group: when the
// group ends, every child is killed and reaped, each exactly once, whether
// the load was set up or its setup threw half way.
#pragma once

#include <sys/types.h>
#include <vector>

namespace sockscope_bench {

class ChildProcesses {
public:
    ChildProcesses() = default;
    ~ChildProcesses();
    ChildProcesses(const ChildProcesses&) = delete;
    ChildProcesses& operator=(const ChildProcesses&) = delete;

    // Forks like fork(): the child's id in the parent, which the group now
    // owns, and 0 in the child, which must end with _exit and never return
    // into the parent's code. Throws std::runtime_error when fork fails and
    // std::bad_alloc before forking, never after: no child goes untracked.
    pid_t fork_child();

    std::size_t size() const { return pids_.size(); }

private:
    std::vector<pid_t> pids_;
};

} // namespace sockscope_bench

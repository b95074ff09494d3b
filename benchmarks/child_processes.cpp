// SPDX-License-Identifier: MIT
#include "child_processes.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace sockscope_bench {

pid_t ChildProcesses::fork_child() {
    pids_.reserve(pids_.size() + 1); // so that recording the child can't throw
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (child > 0) pids_.push_back(child);
    return child;
}

ChildProcesses::~ChildProcesses() {
    // All are signalled before any is waited for, so that they end together.
    // A child that already ended stays a zombie until reaped here, so its id
    // can't have gone to another process.
    for (const pid_t child : pids_) kill(child, SIGKILL);
    for (const pid_t child : pids_) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

} // namespace sockscope_bench

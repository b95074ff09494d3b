// SPDX-License-Identifier: MIT
// Child processes for live tests: a copy of the test child program under a
// name the test chooses, started with arguments, talked to over pipes, and
// always reaped (killed first if it does not end within a few seconds).
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "forked_child.h"

namespace sockscope_test {

// Copies the test child program to a private folder as `name` and returns
// the copy's path. The folder is removed when the test program ends.
std::string test_child_named(const std::string& name);

// The same for another program of the tests (`program` is its path).
std::string program_named(const std::string& program, const std::string& name);

// A name no other process on the machine has: `stem` plus this process's id
// and a counter.
std::string unique_name(const std::string& stem);

class ChildProcess {
public:
    // Starts `program` with `arguments` and waits (up to 10 s) for its
    // "ready" line; the lines before it are the ports it opened.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const;
    const std::vector<unsigned>& ports() const { return ports_; }

    // Closes its input and reaps it; afterwards pid() names no process.
    void stop();

private:
    std::optional<ForkedChild> child_;
    int input_ = -1;
    std::vector<unsigned> ports_;
};

} // namespace sockscope_test

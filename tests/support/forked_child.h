// SPDX-License-Identifier: MIT
// The one way the test helpers start a child process: forked, killed when
// the thread that made it ends (PR_SET_PDEATHSIG), given a pipe to report
// on, read with a deadline, and always reaped, by SIGKILL once a grace
// period is over. ChildProcess, HoldingChild, run_isolated and
// RunningProgram are built on it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <sys/types.h>

namespace sockscope_test {

class ForkedChild {
public:
    using Clock = std::chrono::steady_clock;

    // Forks. The child runs `body` with the writing end of the report pipe
    // (close-on-exec: a body that execs keeps it only as a descriptor it
    // dup2'd), then ends with status 0, or 1 if `body` threw. When the pipe
    // or the fork fails there is no child: pid() is -1.
    explicit ForkedChild(const std::function<void(int report)>& body);
    // Kills the child if it still runs, and reaps it.
    ~ForkedChild();
    ForkedChild(const ForkedChild&) = delete;
    ForkedChild& operator=(const ForkedChild&) = delete;

    // The child's id; -1 when there is none or once it has been reaped.
    pid_t pid() const { return pid_; }

    // What the child reports, each read bounded by `deadline`. A line (its
    // newline not kept) or `size` bytes: false when the deadline, the end of
    // the pipe or an error came first.
    bool read_line(std::string& line, Clock::time_point deadline);
    bool read_exactly(void* into, std::size_t size, Clock::time_point deadline);
    // Everything until the child (and every process that inherited the pipe)
    // closed it: false only when the deadline came first.
    bool read_to_end(std::string& text, Clock::time_point deadline);
    // Done with the report: closes its reading end.
    void close_report();

    // Whether it has ended, reaping it if so, without waiting.
    bool ended();
    // Waits until it has ended or `deadline` has come, running `meanwhile`
    // between looks (by default a 2 ms sleep); whether it ended.
    bool wait_until(Clock::time_point deadline, const std::function<void()>& meanwhile = {});
    // Sends `signal` (0: none, for a child that ends by itself, say when
    // its input closes), gives it `grace` to end, then kills it (SIGKILL);
    // it is reaped either way. Nothing once it has been reaped.
    void stop(int signal, std::chrono::milliseconds grace);
    // Sends `signal` unless it has been reaped (its id may be another's).
    void signal(int signal);
    // Its wait status, once reaped.
    int status() const { return status_; }

private:
    // Waits for the report and reads once: the byte count, 0 at its end or
    // on an error, -1 when the deadline came first.
    long read_some(char* into, std::size_t size, Clock::time_point deadline);

    pid_t pid_ = -1;
    int report_ = -1;
    int status_ = 0;
};

// In a child: writes the whole of `size` bytes to `fd`; false when a write
// failed.
bool write_all(int fd, const void* data, std::size_t size);

} // namespace sockscope_test

// SPDX-License-Identifier: MIT
// Runs a built program as a user would, with its standard output on a file,
// a terminal, or a descriptor that fails, and collects what it wrote. Every
// run is bounded in time (killed after the timeout) and always reaped.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "forked_child.h"

namespace sockscope_test {

enum class Stdout {
    file,        // a private file, read back
    terminal,    // a pseudo-terminal (output post-processing off), read back
    dev_full,    // /dev/full: every write fails with ENOSPC
    closed,      // descriptor 1 closed: EBADF
    broken_pipe, // a pipe whose reader is gone, SIGPIPE ignored: EPIPE
    stalled_pipe, // a pipe read only once the program has ended: writes block when it is full
};

struct RunOptions {
    std::vector<std::string> arguments;
    std::vector<std::pair<std::string, std::string>> set_environment;
    std::vector<std::string> unset_environment;
    Stdout output = Stdout::file;
    // The size of the pseudo-terminal (Stdout::terminal).
    unsigned short terminal_columns = 200, terminal_rows = 50;
    // A user id to run as (setuid before exec); -1 keeps the caller's.
    long user = -1;
    // Capabilities (CAP_SYS_PTRACE, ...) the program runs without, even as root.
    std::vector<int> without_capabilities;
    // Every setns refused (EPERM), as a container's seccomp profile does.
    bool refuse_setns = false;
    std::chrono::milliseconds timeout{30000};
};

struct ProgramResult {
    int exit_code = -1;   // -1 unless it exited
    int signal = 0;       // the signal that ended it, if one did
    bool timed_out = false;
    std::string out, err; // standard output (file or terminal) and error
};

// A program running in the background.
class RunningProgram {
public:
    RunningProgram(const std::string& path, const RunOptions& options);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    // Sends it `signal`, unless it has ended and been reaped.
    void signal(int signal) { child_->signal(signal); }
    // What it wrote to standard output so far (nothing from a stalled pipe).
    std::string output_so_far();
    // What it wrote to standard error so far.
    std::string errors_so_far() const;
    // The bytes waiting in a stalled pipe.
    std::size_t unread_output() const;
    // Waits until its output holds `text` at least `times` times; false on
    // timeout or when the program ended first.
    bool wait_for_output(const std::string& text, int times, std::chrono::milliseconds timeout);
    // Waits for it to end (killing it at the run's timeout) and collects
    // everything.
    ProgramResult finish();

private:
    void pump_terminal(int wait_ms);

    std::optional<ForkedChild> child_;
    std::string folder_;
    int terminal_ = -1;
    int stalled_ = -1; // the reading end of a stalled pipe
    std::string terminal_output_;
    ForkedChild::Clock::time_point deadline_;
};

ProgramResult run_program(const std::string& path, const RunOptions& options = {});

// Splits text into lines (without their newline characters).
std::vector<std::string> lines_of(const std::string& text);

// The lines of `text` that contain `needle`.
std::vector<std::string> lines_with(const std::string& text, const std::string& needle);

} // namespace sockscope_test

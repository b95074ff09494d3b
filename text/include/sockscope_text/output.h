// SPDX-License-Identifier: MIT
// Writing to standard output and standard error with every failure seen:
// a full disk, a closed descriptor, a reader that went away (EPIPE when
// SIGPIPE is ignored).
#pragma once

#include <csignal>
#include <cstddef>
#include <string_view>

namespace sockscope_text {

// Writes all of `text` to `fd`, resuming after partial writes and signals
// and waiting when the descriptor is non-blocking and full. Returns 0, or
// the errno value of the write that failed. When `stop` is given, gives up
// with EINTR as soon as it is set (by a signal handler that interrupted the
// write), so that a program told to end is not held by a stalled reader.
// When `written` is given, it is set to the bytes written, also on failure.
int write_all(int fd, std::string_view text, const volatile std::sig_atomic_t* stop = nullptr,
              std::size_t* written = nullptr);

// Writes "<program>: <what>: <strerror(error)>" as one line to standard
// error; without `error` (0), "<program>: <what>".
void report_error(std::string_view program, std::string_view what, int error);

} // namespace sockscope_text

// SPDX-License-Identifier: MIT
// SIGINT and SIGTERM as the way to end --watch: they ask the loop to stop,
// and it ends cleanly with status 0 at the next point where it can. They
// are held back while a table is read, and let through while the tool
// writes (so that a reader that stopped reading can't keep it alive) and
// while it waits for the next interval. A signal that was ignored when the
// tool started (a background job) stays ignored.
#pragma once

#include <chrono>
#include <csignal>
#include <poll.h>
#include <cstddef>
#include <string_view>

namespace sockscope_tool {

class Interrupts {
public:
    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    bool stop_requested() const;
    // sockscope_text::write_all() with the signals let through; 0 or an
    // errno value (EINTR when a signal asked to stop). Sets `written` to
    // the bytes written when given.
    int write(int fd, std::string_view text, std::size_t* written = nullptr);
    // After a stop: writes `text` while the output takes some of it at
    // least every `stall`; 0, or the errno value (ETIMEDOUT when it took
    // nothing for that long). Sets `written` to the bytes written.
    int write_unless_stalled(int fd, std::string_view text, std::chrono::milliseconds stall, std::size_t& written);
    // Waits until `deadline`; false when a signal asked to stop first.
    bool wait_until(std::chrono::steady_clock::time_point deadline);
    // Waits until `fd` is readable (or in error); false when a signal
    // asked to stop first.
    bool wait_readable(int fd);
    // Waits until one of `fds` has an event or `deadline` passes; false
    // when a signal asked to stop first. Each pollfd's revents says.
    bool wait_any(pollfd* fds, std::size_t count, std::chrono::steady_clock::time_point deadline);

private:
    // The mask to wait with: the original one, with the signals let through.
    sigset_t waiting_mask() const;

    sigset_t held_{}, original_mask_{};
};

} // namespace sockscope_tool

// SPDX-License-Identifier: MIT
#include "interrupts.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <sockscope_text/output.h>

namespace sockscope_tool {
namespace {

volatile std::sig_atomic_t stop_flag = 0;

volatile std::sig_atomic_t alarm_flag = 0;

void on_signal(int) { stop_flag = 1; }
void on_alarm(int) { alarm_flag = 1; }

} // namespace

Interrupts::Interrupts() {
    sigemptyset(&held_);
    for (const int signal : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        sigaction(signal, nullptr, &current);
        if (current.sa_handler == SIG_IGN) continue;
        struct sigaction handler {};
        handler.sa_handler = on_signal;
        sigemptyset(&handler.sa_mask);
        handler.sa_flags = 0; // no SA_RESTART: a blocked write returns
        sigaction(signal, &handler, nullptr);
        sigaddset(&held_, signal);
    }
    sigprocmask(SIG_BLOCK, &held_, &original_mask_);
}

Interrupts::~Interrupts() { sigprocmask(SIG_SETMASK, &original_mask_, nullptr); }

bool Interrupts::stop_requested() const { return stop_flag != 0; }

int Interrupts::write(int fd, std::string_view text, std::size_t* written) {
    sigprocmask(SIG_UNBLOCK, &held_, nullptr);
    const int error = sockscope_text::write_all(fd, text, &stop_flag, written);
    sigprocmask(SIG_BLOCK, &held_, nullptr);
    return error;
}

int Interrupts::write_unless_stalled(int fd, std::string_view text, std::chrono::milliseconds stall,
                                     std::size_t& written) {
    // A blocked write is broken off by SIGALRM, with what it wrote so far
    // (a handler without SA_RESTART); the timer starts again after each
    // write that took something.
    struct sigaction alarm_handler {}, previous {};
    alarm_handler.sa_handler = on_alarm;
    sigemptyset(&alarm_handler.sa_mask);
    sigaction(SIGALRM, &alarm_handler, &previous);
    sigset_t alarm_only, before;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm_only, &before);
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(stall);
    const itimerval timer{{0, 0},
                          {static_cast<time_t>(seconds.count()),
                           static_cast<suseconds_t>(std::chrono::duration_cast<std::chrono::microseconds>(stall - seconds).count())}};
    const itimerval stopped{};
    written = 0;
    int error = 0;
    while (written < text.size()) {
        alarm_flag = 0;
        setitimer(ITIMER_REAL, &timer, nullptr);
        const ssize_t wrote = ::write(fd, text.data() + written, text.size() - written);
        setitimer(ITIMER_REAL, &stopped, nullptr);
        if (wrote > 0) {
            written += static_cast<std::size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR && !alarm_flag) continue;
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd waiting{fd, POLLOUT, 0};
            if (poll(&waiting, 1, static_cast<int>(stall.count())) > 0) continue;
        }
        error = wrote < 0 && errno != EINTR ? errno : ETIMEDOUT;
        break;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    return error;
}

sigset_t Interrupts::waiting_mask() const {
    sigset_t mask = original_mask_;
    for (const int signal : {SIGINT, SIGTERM})
        if (sigismember(&held_, signal)) sigdelset(&mask, signal);
    return mask;
}

bool Interrupts::wait_until(std::chrono::steady_clock::time_point deadline) {
    const sigset_t waiting_mask = this->waiting_mask();
    while (!stop_requested()) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return true;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout{static_cast<time_t>(seconds.count()),
                               static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count())};
        // Atomically lets the signals through for the wait only, so that
        // one arriving just before it is not missed.
        ppoll(nullptr, 0, &timeout, &waiting_mask);
    }
    return false;
}

bool Interrupts::wait_readable(int fd) {
    const sigset_t waiting_mask = this->waiting_mask();
    while (!stop_requested()) {
        pollfd wait{fd, POLLIN, 0};
        // As above: the signals get through during the wait only.
        const int ready = ppoll(&wait, 1, nullptr, &waiting_mask);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return !stop_requested();
    }
    return false;
}

bool Interrupts::wait_any(pollfd* fds, std::size_t count, std::chrono::steady_clock::time_point deadline) {
    const sigset_t waiting_mask = this->waiting_mask();
    for (std::size_t i = 0; i < count; ++i) fds[i].revents = 0;
    while (!stop_requested()) {
        // A deadline already past still looks once at the descriptors, so
        // that a caller late every time is not deaf to them.
        const auto left = std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec timeout{static_cast<time_t>(seconds.count()),
                               static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count())};
        const int ready = ppoll(fds, static_cast<nfds_t>(count), &timeout, &waiting_mask);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return !stop_requested();
        if (ready == 0 && left == std::chrono::steady_clock::duration::zero()) return true;
    }
    return false;
}

} // namespace sockscope_tool

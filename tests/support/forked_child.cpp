// SPDX-License-Identifier: MIT
#include "forked_child.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sockscope_test {

ForkedChild::ForkedChild(const std::function<void(int report)>& body) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ends[0]);
        // An exception must not unwind into the test framework's copy in
        // the child, which would go on running tests there.
        try {
            body(ends[1]);
        } catch (...) {
            _exit(1);
        }
        _exit(0);
    }
    close(ends[1]);
    if (pid_ < 0) {
        pid_ = -1;
        close(ends[0]);
        return;
    }
    report_ = ends[0];
}

ForkedChild::~ForkedChild() {
    close_report();
    stop(SIGKILL, std::chrono::milliseconds(0));
}

long ForkedChild::read_some(char* into, std::size_t size, Clock::time_point deadline) {
    if (report_ < 0) return 0;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return -1;
        pollfd waiting{report_, POLLIN, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return -1;
        if (ready < 0) return 0;
        const ssize_t got = read(report_, into, size);
        if (got < 0 && errno == EINTR) continue;
        return got < 0 ? 0 : got;
    }
}

bool ForkedChild::read_line(std::string& line, Clock::time_point deadline) {
    line.clear();
    for (char c; read_some(&c, 1, deadline) == 1;) {
        if (c == '\n') return true;
        line.push_back(c);
    }
    return false;
}

bool ForkedChild::read_exactly(void* into, std::size_t size, Clock::time_point deadline) {
    char* const bytes = static_cast<char*>(into);
    for (std::size_t done = 0; done < size;) {
        const long got = read_some(bytes + done, size - done, deadline);
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool ForkedChild::read_to_end(std::string& text, Clock::time_point deadline) {
    char buffer[512];
    for (;;) {
        const long got = read_some(buffer, sizeof buffer, deadline);
        if (got < 0) return false;
        if (got == 0) return true;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

void ForkedChild::close_report() {
    if (report_ >= 0) close(report_);
    report_ = -1;
}

bool ForkedChild::ended() {
    if (pid_ < 0) return true;
    const pid_t got = waitpid(pid_, &status_, WNOHANG);
    if (got == 0 || (got < 0 && errno == EINTR)) return false;
    pid_ = -1; // reaped, or not ours to wait for (then nothing is left to do)
    return true;
}

bool ForkedChild::wait_until(Clock::time_point deadline, const std::function<void()>& meanwhile) {
    for (;;) {
        if (ended()) return true;
        if (Clock::now() >= deadline) return false;
        if (meanwhile)
            meanwhile();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void ForkedChild::stop(int signal, std::chrono::milliseconds grace) {
    if (pid_ < 0) return;
    if (signal != 0) kill(pid_, signal);
    if (wait_until(Clock::now() + grace)) return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

void ForkedChild::signal(int signal) {
    if (pid_ >= 0) kill(pid_, signal);
}

bool write_all(int fd, const void* data, std::size_t size) {
    const char* const bytes = static_cast<const char*>(data);
    for (std::size_t written = 0; written < size;) {
        const ssize_t got = write(fd, bytes + written, size - written);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        written += static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace sockscope_test

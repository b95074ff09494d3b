// SPDX-License-Identifier: MIT
#include "holding_child.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sockscope_test {

HoldingChild::HoldingChild(const std::function<int()>& setup, const std::function<void()>& then) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(report[0]);
        const int value = setup();
        if (write(report[1], &value, sizeof value) != sizeof value) _exit(1);
        close(report[1]);
        if (then) then();
        for (;;) pause();
    }
    close(report[1]);
    if (pid_ < 0) {
        close(report[0]);
        return;
    }
    report_ = report[0];
}

int HoldingChild::reported() {
    if (have_value_ || report_ < 0) return value_;
    pollfd waiting{report_, POLLIN, 0};
    int ready;
    do {
        ready = poll(&waiting, 1, 10000);
    } while (ready < 0 && errno == EINTR);
    if (ready == 1 && read(report_, &value_, sizeof value_) != sizeof value_) value_ = -1;
    have_value_ = true;
    close(report_);
    report_ = -1;
    return value_;
}

HoldingChild::~HoldingChild() {
    if (report_ >= 0) close(report_);
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace sockscope_test

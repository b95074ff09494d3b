// SPDX-License-Identifier: MIT
#include "holding_child.h"

#include <csignal>
#include <unistd.h>

namespace sockscope_test {

HoldingChild::HoldingChild(const std::function<int()>& setup, const std::function<void()>& then)
    : child_([&](int report) {
          const int value = setup();
          if (!write_all(report, &value, sizeof value)) _exit(1);
          close(report);
          if (then) then();
          for (;;) pause();
      }) {}

int HoldingChild::reported() {
    if (!have_value_ && !child_.read_exactly(&value_, sizeof value_, ForkedChild::Clock::now() + std::chrono::seconds(10)))
        value_ = -1;
    have_value_ = true;
    child_.close_report();
    return value_;
}

HoldingChild::~HoldingChild() {
    child_.close_report();
    child_.stop(SIGTERM, std::chrono::seconds(5));
}

} // namespace sockscope_test

// SPDX-License-Identifier: MIT
// A forked copy of the test process that holds descriptors for a test: it
// runs a setup function, reports one number back (a descriptor it made, or
// anything else), then runs until the test is done with it. It inherits
// every descriptor the test had when it was made.
#pragma once

#include <functional>
#include <sys/types.h>

#include "forked_child.h"

namespace sockscope_test {

class HoldingChild {
public:
    // Forks; the child runs `setup`, reports its result, then runs `then`
    // (by default it waits for the end). A child ends with its parent.
    explicit HoldingChild(const std::function<int()>& setup, const std::function<void()>& then = {});
    // Asks the child to end (SIGTERM), kills it if it has not ended within
    // 5 s, and reaps it.
    ~HoldingChild();
    HoldingChild(const HoldingChild&) = delete;
    HoldingChild& operator=(const HoldingChild&) = delete;

    pid_t pid() const { return child_.pid(); }
    // The number `setup` returned, waiting up to 10 s for it; -1 when the
    // child died or did not answer in time.
    int reported();

private:
    ForkedChild child_;
    bool have_value_ = false;
    int value_ = -1;
};

} // namespace sockscope_test

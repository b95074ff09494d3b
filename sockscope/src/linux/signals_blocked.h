// SPDX-License-Identifier: MIT
// Every signal blocked in the calling thread for a scope. Threads that the
// library starts meanwhile inherit the full mask, so a caller's signals are
// never delivered on a thread of ours.
#pragma once

#include <csignal>
#include <pthread.h>

namespace sockscope_detail {

class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

} // namespace sockscope_detail

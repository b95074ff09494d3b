// SPDX-License-Identifier: MIT
// The library's threads start with every signal blocked, and the calling
// thread's mask stays as it was all through a call, pthread_create included
// (a host runtime stops its threads with signals for a collection).
// pthread_create is replaced here: it notes the creating thread's mask and
// the mask each new thread starts with.
#include <atomic>
#include <csignal>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <mutex>
#include <pthread.h>
#include <unistd.h>
#include <vector>

#include <sockscope/sockets.h>

#include "support/network_namespaces.h"

namespace {

struct Start {
    void* (*routine)(void*);
    void* argument;
};

std::atomic<bool> watching{false};
pthread_t watched;
std::mutex seen_lock;
std::vector<sigset_t> creator_masks, started_masks;

sigset_t current_mask() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return mask;
}

void* noted_start(void* argument) {
    const Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    const sigset_t mask = current_mask();
    {
        const std::lock_guard lock(seen_lock);
        started_masks.push_back(mask);
    }
    return start.routine(start.argument);
}

} // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (!watching.load() || !pthread_equal(pthread_self(), watched)) return real(thread, attributes, routine, argument);
    {
        const std::lock_guard lock(seen_lock);
        creator_masks.push_back(current_mask());
    }
    auto* start = new Start{routine, argument};
    const int error = real(thread, attributes, noted_start, start);
    if (error != 0) delete start;
    return error;
}

namespace {

// The signals a thread can block: all but SIGKILL, SIGSTOP and the two glibc
// keeps for itself below SIGRTMIN.
std::vector<int> blockable_signals() {
    std::vector<int> signals;
    for (int signal = 1; signal <= SIGRTMAX; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP && (signal < 32 || signal >= SIGRTMIN)) signals.push_back(signal);
    return signals;
}

TEST(ThreadMasks, TheCallersMaskIsKeptAndTheLibrarysThreadsBlockEverySignal) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a namespace";
    const sockscope_test::NamespacedListener elsewhere; // so that the call reads two namespaces at least
    ASSERT_TRUE(elsewhere.ready());
    sigset_t none, previous;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, &previous);
    watched = pthread_self();
    watching = true;
    sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
    selection.what = SOCKSCOPE_TCP | SOCKSCOPE_ALL_NAMESPACES;
    sockscope_snapshot* snapshot = sockscope_snapshot_take(&selection);
    watching = false;
    const sigset_t after = current_mask();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_NE(snapshot, nullptr);
    sockscope_snapshot_free(snapshot);

    const std::lock_guard lock(seen_lock);
    ASSERT_FALSE(creator_masks.empty()) << "the call started no thread";
    EXPECT_EQ(started_masks.size(), creator_masks.size());
    for (const int signal : blockable_signals()) {
        EXPECT_FALSE(sigismember(&after, signal)) << "signal " << signal << " blocked after the call";
        for (const sigset_t& mask : creator_masks)
            EXPECT_FALSE(sigismember(&mask, signal)) << "signal " << signal << " blocked in the caller";
        for (const sigset_t& mask : started_masks)
            EXPECT_TRUE(sigismember(&mask, signal)) << "signal " << signal << " open on a thread of the library";
    }
}

} // namespace

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
#include <utility>
#include <vector>

#include <sockscope/sockets.h>

#include "support/network_namespaces.h"

namespace {

std::atomic<bool> watching{false};
pthread_t watched;
std::mutex seen_lock;
std::vector<sigset_t> creator_masks, started_masks;

void note_mask(std::vector<sigset_t>& masks) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    const std::lock_guard lock(seen_lock);
    masks.push_back(mask);
}

using Start = std::pair<void* (*)(void*), void*>;

void* noted_start(void* argument) {
    const Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    note_mask(started_masks);
    return start.first(start.second);
}

} // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (!watching.load() || !pthread_equal(pthread_self(), watched)) return real(thread, attributes, routine, argument);
    note_mask(creator_masks);
    auto* start = new Start{routine, argument};
    const int error = real(thread, attributes, noted_start, start);
    if (error != 0) delete start;
    return error;
}

namespace {

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
    note_mask(creator_masks); // and after the call
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_NE(snapshot, nullptr);
    sockscope_snapshot_free(snapshot);

    const std::lock_guard lock(seen_lock);
    ASSERT_GT(creator_masks.size(), 1u) << "the call started no thread";
    EXPECT_EQ(started_masks.size(), creator_masks.size() - 1);
    // Every signal a thread can block: all but SIGKILL, SIGSTOP and the two
    // glibc keeps for itself below SIGRTMIN.
    for (int signal = 1; signal <= SIGRTMAX; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP || (signal >= 32 && signal < SIGRTMIN)) continue;
        for (const sigset_t& mask : creator_masks)
            EXPECT_FALSE(sigismember(&mask, signal)) << "signal " << signal << " blocked in the caller";
        for (const sigset_t& mask : started_masks)
            EXPECT_TRUE(sigismember(&mask, signal)) << "signal " << signal << " open on a thread of the library";
    }
}

} // namespace

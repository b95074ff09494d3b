// SPDX-License-Identifier: MIT
// A thread of the library's own. It starts with every signal blocked, set
// through its attributes, so a caller's signals are never delivered on a
// thread of ours; the calling thread's mask is never touched. (A host
// runtime stops its threads with a signal for a collection: the caller must
// take it even while it waits in pthread_create for a lock another stopped
// thread holds.) Joined by join(), or else by the destructor.
#pragma once

#include <functional>
#include <pthread.h>

namespace sockscope_detail {

class LibraryThread {
public:
    LibraryThread() = default;
    // Runs `work` on a new thread: std::system_error when no thread can be
    // had, std::bad_alloc without memory for it.
    explicit LibraryThread(std::function<void()> work);
    ~LibraryThread() { join(); }
    LibraryThread(LibraryThread&& other) noexcept : thread_(other.thread_), started_(other.started_) {
        other.started_ = false;
    }
    LibraryThread& operator=(LibraryThread&& other) noexcept;
    LibraryThread(const LibraryThread&) = delete;
    LibraryThread& operator=(const LibraryThread&) = delete;

    bool joinable() const noexcept { return started_; }
    // Waits for the thread to end; nothing when there is none.
    void join() noexcept;

private:
    pthread_t thread_{};
    bool started_ = false;
};

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
#include "linux/library_thread.h"

#include <csignal>
#include <memory>
#include <system_error>
#include <utility>

namespace sockscope_detail {

namespace {

void* run(void* argument) {
    const std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(argument));
    (*work)();
    return nullptr;
}

// Attributes that start a thread with every signal blocked (glibc leaves
// its own internal ones out).
class BlockingAttributes {
public:
    BlockingAttributes() {
        if (const int error = pthread_attr_init(&attributes_); error != 0)
            throw std::system_error(error, std::generic_category(), "pthread_attr_init");
        sigset_t all;
        sigfillset(&all);
        if (const int error = pthread_attr_setsigmask_np(&attributes_, &all); error != 0) {
            pthread_attr_destroy(&attributes_);
            throw std::system_error(error, std::generic_category(), "pthread_attr_setsigmask_np");
        }
    }
    ~BlockingAttributes() { pthread_attr_destroy(&attributes_); }
    BlockingAttributes(const BlockingAttributes&) = delete;
    BlockingAttributes& operator=(const BlockingAttributes&) = delete;
    const pthread_attr_t* get() const { return &attributes_; }

private:
    pthread_attr_t attributes_;
};

} // namespace

LibraryThread::LibraryThread(std::function<void()> work) {
    auto owned = std::make_unique<std::function<void()>>(std::move(work));
    const BlockingAttributes attributes;
    if (const int error = pthread_create(&thread_, attributes.get(), run, owned.get()); error != 0)
        throw std::system_error(error, std::generic_category(), "pthread_create");
    owned.release(); // the thread's now
    started_ = true;
}

LibraryThread& LibraryThread::operator=(LibraryThread&& other) noexcept {
    if (this != &other) {
        join();
        thread_ = other.thread_;
        started_ = std::exchange(other.started_, false);
    }
    return *this;
}

void LibraryThread::join() noexcept {
    if (!started_) return;
    pthread_join(thread_, nullptr);
    started_ = false;
}

} // namespace sockscope_detail

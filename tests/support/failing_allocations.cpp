// SPDX-License-Identifier: MIT
#include "failing_allocations.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" {
void __libc_free(void* block);
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
}

namespace {

// Allocations left before the one that fails, on whichever thread of the
// process makes them (the library's own threads included); negative: none
// fails.
std::atomic<long> allocations_before_failure{-1};
std::atomic<bool> failed_one{false};
long armed = -1;
// Blocks handed out and not yet freed, counted on every thread.
std::atomic<long> blocks{0};

void* counted(void* block) {
    if (block != nullptr) blocks.fetch_add(1, std::memory_order_relaxed);
    return block;
}

bool this_one_fails() {
    if (allocations_before_failure.load(std::memory_order_relaxed) < 0) return false;
    if (allocations_before_failure.fetch_sub(1) != 0) return false;
    failed_one = true;
    errno = ENOMEM; // as the C library's allocator says it (glibc's own callers read it)
    // To see where allocation K is made: SHOW_FAILING_ALLOCATION=K under gdb.
    if (const char* k = std::getenv("SHOW_FAILING_ALLOCATION"); k && armed == std::atol(k)) __builtin_trap();
    return true;
}

} // namespace

namespace sockscope_test {

void fail_allocation_after(long count) {
    failed_one = false;
    armed = count;
    allocations_before_failure = count;
}

bool allocation_failed() { return failed_one; }

long blocks_in_use() { return blocks.load(); }

} // namespace sockscope_test

extern "C" void* malloc(std::size_t size) { return this_one_fails() ? nullptr : counted(__libc_malloc(size)); }
extern "C" void* calloc(std::size_t count, std::size_t size) {
    return this_one_fails() ? nullptr : counted(__libc_calloc(count, size));
}
extern "C" void* realloc(void* block, std::size_t size) {
    if (block == nullptr) return this_one_fails() ? nullptr : counted(__libc_malloc(size));
    if (size == 0) {
        free(block);
        return nullptr;
    }
    return this_one_fails() ? nullptr : __libc_realloc(block, size); // a moved block is still one block
}
extern "C" void free(void* block) {
    if (block != nullptr) blocks.fetch_sub(1, std::memory_order_relaxed);
    __libc_free(block);
}

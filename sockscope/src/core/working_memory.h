// SPDX-License-Identifier: MIT
// Memory for the large arrays a call works on and releases before it
// returns (table rows, sort keys, the iterator's records). A table of
// 200,000 rows needs tens of megabytes of them on every call, and the C
// heap hands such blocks back to the system when they are freed, so each
// call touches them afresh: one page fault per 4 KiB page. Large blocks
// are therefore mapped on their own and asked for transparent huge pages,
// which fault 2 MiB at a time; small ones come from the C heap. Nothing is
// kept between calls.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace sockscope_detail {

// At least `bytes` bytes (throws std::bad_alloc when there is no memory),
// and their release; `bytes` must be the size the block was asked with.
// The one service the core asks of the platform, declared here and defined
// there (linux/working_memory.cpp); the fuzzers, which link the core alone,
// define it on the C heap (fuzz/heap_working_memory.cpp).
void* allocate_working_memory(std::size_t bytes);
void release_working_memory(void* block, std::size_t bytes) noexcept;
// Asks for the large block of `bytes` at `block`, from the C heap, to be
// backed by huge pages where it wholly covers them: a large answer the
// caller keeps (the C interface's snapshot) faults 2 MiB at a time as it is
// written. Only advice: nothing changes where huge pages are off.
void prefer_huge_pages(void* block, std::size_t bytes) noexcept;

template <class T>
struct WorkingMemoryAllocator {
    // Blocks come from malloc or start on a page: either serves no more.
    static_assert(alignof(T) <= alignof(std::max_align_t));
    using value_type = T;

    WorkingMemoryAllocator() = default;
    template <class U>
    WorkingMemoryAllocator(const WorkingMemoryAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_working_memory(count * sizeof(T)));
    }
    void deallocate(T* block, std::size_t count) noexcept { release_working_memory(block, count * sizeof(T)); }

    template <class U>
    bool operator==(const WorkingMemoryAllocator<U>&) const noexcept { return true; }
};

template <class T>
using WorkingVector = std::vector<T, WorkingMemoryAllocator<T>>;

} // namespace sockscope_detail

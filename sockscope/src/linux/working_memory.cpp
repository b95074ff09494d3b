// SPDX-License-Identifier: MIT
#include "core/working_memory.h"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

namespace sockscope_detail {
namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
// Below this a block comes from the C heap: a mapping of its own would
// round it up to whole huge pages. From a huge page up, the C heap may map
// the block afresh at every call or keep it, as its thresholds have moved
// with what the process freed before (a 2 MiB array faulted 512 times a
// call, or never): mapped here, it faults a huge page at a time, always.
constexpr std::size_t mapped_from = huge_page;

std::size_t whole_huge_pages(std::size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }

} // namespace

void* allocate_working_memory(std::size_t bytes) {
    if (bytes < mapped_from) {
        void* block = std::malloc(bytes != 0 ? bytes : 1);
        if (block == nullptr) throw std::bad_alloc();
        return block;
    }
    const std::size_t length = whole_huge_pages(bytes);
    if (length < bytes || length + huge_page < length) throw std::bad_alloc();
    // A huge page has to start on a 2 MiB boundary: map one more, then give
    // back what lies before the boundary and after the block.
    void* mapped = ::mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + huge_page - 1) / huge_page * huge_page;
    if (aligned > start) ::munmap(mapped, aligned - start);
    const std::uintptr_t end = start + length + huge_page;
    if (end > aligned + length) ::munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    // Only advice: where huge pages are off, the block works all the same.
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void release_working_memory(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
    if (bytes < mapped_from) {
        std::free(block);
        return;
    }
    ::munmap(block, whole_huge_pages(bytes));
}

void prefer_huge_pages(void* block, std::size_t bytes) noexcept {
    if (block == nullptr || bytes < mapped_from) return;
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + huge_page - 1) / huge_page * huge_page;
    const std::uintptr_t end = (start + bytes) / huge_page * huge_page;
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

} // namespace sockscope_detail

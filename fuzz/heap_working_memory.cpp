// SPDX-License-Identifier: MIT
// The core's working memory from the C heap: the fuzzers link the core
// alone, without the platform layer that maps large blocks apart.
#include <cstdlib>

#include "core/working_memory.h"

namespace sockscope_detail {

void* allocate_working_memory(std::size_t bytes) {
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void release_working_memory(void* block, std::size_t) noexcept { std::free(block); }

void prefer_huge_pages(void*, std::size_t) noexcept {}

} // namespace sockscope_detail

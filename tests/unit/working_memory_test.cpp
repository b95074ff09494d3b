// SPDX-License-Identifier: MIT
// The large arrays of a call: blocks from the C heap or mapped on their own
// at 2 MiB boundaries, writable end to end, released without a trace, and a
// block the system can't give is std::bad_alloc, which the members turn
// into a failed call.
#include <cstdint>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <sys/resource.h>

#include "support/isolated_child.h"
#include "support/sanitized.h"
#include "core/working_memory.h"

using namespace sockscope_detail;

namespace {

using sockscope_test::sanitized;

// Lines of /proc/self/maps: one per mapping.
std::size_t mapping_count() {
    std::ifstream maps("/proc/self/maps");
    std::size_t lines = 0;
    for (std::string line; std::getline(maps, line);) ++lines;
    return lines;
}

TEST(WorkingMemory, BlocksOfEverySizeAreWholeAndLeaveNothingBehind) {
    const std::size_t mappings = mapping_count();
    for (const std::size_t bytes : {std::size_t{1}, std::size_t{4096}, (std::size_t{4} << 20) - 1,
                                    std::size_t{4} << 20, (std::size_t{9} << 20) + 3}) {
        auto* block = static_cast<unsigned char*>(allocate_working_memory(bytes));
        ASSERT_NE(block, nullptr) << bytes;
        if (bytes >= (std::size_t{4} << 20)) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % (std::size_t{2} << 20), 0u) << bytes;
        }
        std::memset(block, 0xA5, bytes);
        EXPECT_EQ(block[bytes - 1], 0xA5) << bytes;
        release_working_memory(block, bytes);
    }
    // A sanitizer's runtime keeps freed blocks and maps for itself.
    if (!sanitized) {
        EXPECT_EQ(mapping_count(), mappings);
    }
}

TEST(WorkingMemory, ABlockTheSystemCannotGiveIsBadAlloc) {
    if (sanitized) GTEST_SKIP() << "a sanitizer's runtime needs more address space than the limit leaves";
    const std::string result = sockscope_test::run_isolated([]() -> std::string {
        const rlimit limit{std::size_t{256} << 20, std::size_t{256} << 20};
        if (setrlimit(RLIMIT_AS, &limit) != 0) return "skip: cannot limit the address space";
        std::string fault;
        for (const std::size_t bytes : {std::size_t{1} << 30, std::size_t{1} << 29}) {
            try {
                release_working_memory(allocate_working_memory(bytes), bytes);
                fault += std::to_string(bytes) + " bytes were given; ";
            } catch (const std::bad_alloc&) {
            }
        }
        try {
            WorkingVector<std::uint64_t> rows(std::size_t{1} << 27); // 1 GiB
            fault += "the vector was made; ";
        } catch (const std::bad_alloc&) {
        }
        return fault;
    });
    if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
    EXPECT_EQ(result, "");
}

} // namespace

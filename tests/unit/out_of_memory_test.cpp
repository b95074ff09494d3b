// SPDX-License-Identifier: MIT
// With no memory left, conversions give null and the public members give
// null or 0: nothing crashes and no exception escapes.
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <vector>

#include <sockscope/sockscope.h>

#include "core/conversions.h"
#include "support/isolated_child.h"
#include "support/sanitized.h"
#include "core/utf8.h"

using namespace sockscope_detail;

namespace {

using sockscope_test::sanitized;

// Takes every block malloc will give, largest first; returns them.
std::vector<void*> exhaust_heap() {
    std::vector<void*> ballast;
    ballast.reserve(1 << 16);
    for (std::size_t size = 1 << 20; size >= 16; size /= 4) {
        while (ballast.size() < ballast.capacity()) {
            void* block = std::malloc(size);
            if (block == nullptr) break;
            ballast.push_back(block);
        }
    }
    return ballast;
}

TEST(OutOfMemory, NothingCrashesAndNothingThrows) {
    if (sanitized) GTEST_SKIP() << "address space limits and sanitizers don't mix";
    const std::string failure = sockscope_test::run_isolated([]() -> std::string {
        std::string fault;
        fault.reserve(512);
        const rlimit limit{64u << 20, 64u << 20};
        rlimit current{};
        getrlimit(RLIMIT_AS, &current);
        // Room for what is mapped already plus a little: the heap runs out.
        std::string status;
        if (setrlimit(RLIMIT_AS, &limit) != 0) return "skip: cannot limit the address space";
        std::vector<void*> ballast = exhaust_heap();

        if (dotted_quad(0x0100007F) != nullptr) fault += "dotted_quad; ";
        if (utf8_to_heap_utf16("name") != nullptr) fault += "utf8_to_heap_utf16; ";
        sockscope library;
        // Null with errno ENOMEM, or a whole snapshot of what little fits.
        errno = 0;
        statTCPROW* tcp = library.getstat_tcp();
        if (tcp == nullptr && errno != ENOMEM) fault += "null TCP snapshot without ENOMEM; ";
        library.getstat_free(tcp);
        errno = 0;
        statUDPROW* udp = library.getstat_udp();
        if (udp == nullptr && errno != ENOMEM) fault += "null UDP snapshot without ENOMEM; ";
        library.getstat_free(udp);
        library.getProcessId(u"a-name-longer-than-a-short-string-buffer");
        library.getnetPort_gx2(u"a-name-longer-than-a-short-string-buffer");

        for (void* block : ballast) std::free(block);
        return fault;
    });
    if (failure.rfind("skip:", 0) == 0) GTEST_SKIP() << failure;
    EXPECT_EQ(failure, "");
}

} // namespace

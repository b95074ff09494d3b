// SPDX-License-Identifier: MIT
// Giving snapshots back, through the shared library's public interface.
// Run under AddressSanitizer, a missed or doubled release fails the test.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

#include <sockscope/sockscope.h>

namespace {

char* text(const char* value) { return strdup(value); }

char16_t* name(const char16_t* value) {
    const std::size_t bytes = (std::char_traits<char16_t>::length(value) + 1) * sizeof(char16_t);
    auto* copy = static_cast<char16_t*>(std::malloc(bytes));
    std::memcpy(copy, value, bytes);
    return copy;
}

TEST(Release, TcpSnapshotWithSomeNullNames) {
    auto* rows = static_cast<statTCPROW*>(std::calloc(3, sizeof(statTCPROW)));
    const char* listen = "LISTEN";
    for (std::uint32_t i = 0; i < 3; ++i) {
        rows[i].LocalAddr = text("127.0.0.1");
        rows[i].RemoteAddr = text("0.0.0.0");
        rows[i].ProcessName = i == 1 ? nullptr : name(u"proc");
        rows[i].Statestr = listen;
        rows[i].size = 3;
    }
    sockscope().getstat_free(rows);
    EXPECT_STREQ(listen, "LISTEN");
}

TEST(Release, UdpSnapshotWithSomeNullNames) {
    auto* rows = static_cast<statUDPROW*>(std::calloc(2, sizeof(statUDPROW)));
    for (std::uint32_t i = 0; i < 2; ++i) {
        rows[i].LocalAddr = text("0.0.0.0");
        rows[i].ProcessName = i == 0 ? nullptr : name(u"proc");
        rows[i].size = 2;
    }
    sockscope().getstat_free(rows);
}

TEST(Release, EmptySnapshotsAndNull) {
    sockscope library;
    library.getstat_free(static_cast<statTCPROW*>(std::calloc(1, sizeof(statTCPROW))));
    library.getstat_free(static_cast<statUDPROW*>(std::calloc(1, sizeof(statUDPROW))));
    library.getstat_free(static_cast<statTCPROW*>(nullptr));
    library.getstat_free(static_cast<statUDPROW*>(nullptr));
}

TEST(Release, ObjectsCarryNoState) {
    sockscope a;
    sockscope b = a;
    b = sockscope();
    a = std::move(b);
    EXPECT_EQ(sizeof(sockscope), 1u);
    EXPECT_EQ(a.getProcessId(nullptr), 0u);
}

} // namespace

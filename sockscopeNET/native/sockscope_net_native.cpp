// SPDX-License-Identifier: MIT
// The flat functions of sockscope_net_native.h. Each one answers from a
// sockscope made on its stack: the class has no state, so a fresh one
// answers as any other would, and nothing outlives the call. The library's
// members throw nothing; `noexcept` makes sure that nothing crosses to the
// managed caller even so.
//
// Built twice from this file: libsockscopeNET_x64.so, which ships, and
// libsockscopeNET_x64_counting.so (SOCKSCOPENET_COUNTING), which the managed
// tests load instead, so that they can see a leaked or twice-freed snapshot
// as a count.
#include "sockscope_net_native.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <sockscope/sockscope.h>

#if defined(SOCKSCOPENET_COUNTING)
#include <atomic>
#endif

// The managed side mirrors both records field for field (NativeRecords.cs,
// whose sizes the managed tests check against the same numbers).
static_assert(sizeof(statTCPROW) == 56 && offsetof(statTCPROW, size) == 48, "statTCPROW is mirrored in NativeRecords.cs");
static_assert(sizeof(statUDPROW) == 32 && offsetof(statUDPROW, size) == 24, "statUDPROW is mirrored in NativeRecords.cs");
// Names arrive as 16-bit units.
static_assert(sizeof(char16_t) == sizeof(std::uint16_t), "names are UTF-16");

namespace {

#if defined(SOCKSCOPENET_COUNTING)
std::atomic<std::int64_t> live_snapshots{0};
#endif

template <typename Row>
Row* taken(Row* rows) noexcept {
#if defined(SOCKSCOPENET_COUNTING)
    if (rows != nullptr) live_snapshots.fetch_add(1, std::memory_order_relaxed);
#endif
    return rows;
}

template <typename Row>
void give_back(Row* rows) noexcept {
    if (rows == nullptr) return;
    sockscope().getstat_free(rows);
#if defined(SOCKSCOPENET_COUNTING)
    live_snapshots.fetch_sub(1, std::memory_order_relaxed);
#endif
}

const char16_t* utf16(const std::uint16_t* name) noexcept { return reinterpret_cast<const char16_t*>(name); }

}  // namespace

std::uint32_t sockscopeNET_getProcessId(const std::uint16_t* name) noexcept {
    errno = 0;
    return sockscope().getProcessId(utf16(name));
}

std::uint32_t sockscopeNET_getnetPort_gx2(const std::uint16_t* name) noexcept {
    errno = 0;
    return sockscope().getnetPort_gx2(utf16(name));
}

statTCPROW* sockscopeNET_getstat_tcp() noexcept {
    errno = 0;
    return taken(sockscope().getstat_tcp());
}

statUDPROW* sockscopeNET_getstat_udp() noexcept {
    errno = 0;
    return taken(sockscope().getstat_udp());
}

statTCPROW* sockscopeNET_getstat_tcp6() noexcept {
    errno = 0;
    return taken(sockscope().getstat_tcp6());
}

statUDPROW* sockscopeNET_getstat_udp6() noexcept {
    errno = 0;
    return taken(sockscope().getstat_udp6());
}

void sockscopeNET_free_tcp(statTCPROW* rows) noexcept { give_back(rows); }

void sockscopeNET_free_udp(statUDPROW* rows) noexcept { give_back(rows); }

#if defined(SOCKSCOPENET_COUNTING)
std::int64_t sockscopeNET_live_snapshots() noexcept { return live_snapshots.load(std::memory_order_relaxed); }
#endif

// SPDX-License-Identifier: MIT
// The native half of the .NET wrapper: a flat C interface over the library's
// class, which the managed assembly calls through P/Invoke. No C++ exception
// crosses it (the library throws none; `new` failing gives null here).
//
// Two counters record what the managed side holds and has not given back:
// library objects made by sockscopeNET_create and not yet deleted, and
// snapshots taken and not yet freed. They let tests see a leak or a double
// release directly instead of inferring it from the size of the heap.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <new>

#include <sockscope/sockscope.h>

#define SOCKSCOPE_NET_API extern "C" __attribute__((visibility("default")))

namespace {

// Signed, so that a release without a matching acquisition shows as a
// negative count rather than wrapping round.
std::atomic<std::int64_t> live_objects{0};
std::atomic<std::int64_t> live_snapshots{0};

template <typename Row>
Row* counted_snapshot(Row* rows) {
    if (rows != nullptr) live_snapshots.fetch_add(1, std::memory_order_relaxed);
    return rows;
}

template <typename Row>
void free_counted_snapshot(sockscope* instance, Row* rows) {
    if (rows == nullptr) return;
    instance->getstat_free(rows);
    live_snapshots.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace

SOCKSCOPE_NET_API sockscope* sockscopeNET_create() {
    sockscope* instance = new (std::nothrow) sockscope;
    if (instance != nullptr) live_objects.fetch_add(1, std::memory_order_relaxed);
    return instance;
}

SOCKSCOPE_NET_API void sockscopeNET_delete(sockscope* instance) {
    if (instance == nullptr) return;
    delete instance;
    live_objects.fetch_sub(1, std::memory_order_relaxed);
}

// The lookups answer 0 both for "none" and on failure; errno is cleared
// first, so that after the call a non-zero errno means the lookup failed.
SOCKSCOPE_NET_API std::uint32_t sockscopeNET_getProcessId(sockscope* instance, const char16_t* name) {
    errno = 0;
    return instance->getProcessId(name);
}

SOCKSCOPE_NET_API std::uint32_t sockscopeNET_getnetPort_gx2(sockscope* instance, const char16_t* name) {
    errno = 0;
    return instance->getnetPort_gx2(name);
}

SOCKSCOPE_NET_API statTCPROW* sockscopeNET_getstat_tcp(sockscope* instance) {
    return counted_snapshot(instance->getstat_tcp());
}

SOCKSCOPE_NET_API statUDPROW* sockscopeNET_getstat_udp(sockscope* instance) {
    return counted_snapshot(instance->getstat_udp());
}

SOCKSCOPE_NET_API statTCPROW* sockscopeNET_getstat_tcp6(sockscope* instance) {
    return counted_snapshot(instance->getstat_tcp6());
}

SOCKSCOPE_NET_API statUDPROW* sockscopeNET_getstat_udp6(sockscope* instance) {
    return counted_snapshot(instance->getstat_udp6());
}

SOCKSCOPE_NET_API void sockscopeNET_free_tcp(sockscope* instance, statTCPROW* rows) {
    free_counted_snapshot(instance, rows);
}

SOCKSCOPE_NET_API void sockscopeNET_free_udp(sockscope* instance, statUDPROW* rows) {
    free_counted_snapshot(instance, rows);
}

// Library objects made by sockscopeNET_create and not yet deleted.
SOCKSCOPE_NET_API std::int64_t sockscopeNET_live_objects() { return live_objects.load(std::memory_order_relaxed); }

// Snapshots returned by sockscopeNET_getstat_* and not yet freed.
SOCKSCOPE_NET_API std::int64_t sockscopeNET_live_snapshots() { return live_snapshots.load(std::memory_order_relaxed); }

// The record sizes as this build lays them out, for the managed side to
// check its mirrors against.
SOCKSCOPE_NET_API std::uint32_t sockscopeNET_tcp_record_size() { return sizeof(statTCPROW); }
SOCKSCOPE_NET_API std::uint32_t sockscopeNET_udp_record_size() { return sizeof(statUDPROW); }

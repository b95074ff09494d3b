/* SPDX-License-Identifier: MIT */
/*
 * The native half of the .NET wrapper (libsockscopeNET_x64.so): flat C
 * functions over the library, which the managed assembly calls through
 * P/Invoke (NativeMethods.cs declares the same functions). They keep no
 * state and make no object: the library's class holds nothing, so each
 * function answers from a sockscope of its own.
 *
 * Records: the snapshots are the library's statTCPROW and statUDPROW
 * arrays (sockscope/sockscope.h; 56 and 32 bytes, the count in every
 * record's `size`), opaque here. The caller gives each one back with the
 * matching sockscopeNET_free_* exactly once.
 *
 * Failure: the lookups and the snapshots first set errno to 0. A snapshot
 * that could not be taken is null, a lookup that failed is 0, with errno
 * set (a lookup's 0 with errno still 0 is "not found"); ENOMEM means memory
 * ran out. No C++ exception leaves these functions.
 */
#ifndef SOCKSCOPE_NET_NATIVE_H
#define SOCKSCOPE_NET_NATIVE_H

#include <stdint.h>

#if defined(__cplusplus)
#define SOCKSCOPENET_NOTHROW noexcept
extern "C" {
#else
#define SOCKSCOPENET_NOTHROW
#endif

#define SOCKSCOPENET_API __attribute__((visibility("default")))

struct statTCPROW;
struct statUDPROW;

/* Id of the lowest-id running process whose image name is `name` (UTF-16,
   null-terminated); 0 when none or on failure. */
SOCKSCOPENET_API uint32_t sockscopeNET_getProcessId(const uint16_t* name) SOCKSCOPENET_NOTHROW;

/* The TCP port on 127.0.0.1 that the process `name` holds; 0 when none or
   on failure. */
SOCKSCOPENET_API uint32_t sockscopeNET_getnetPort_gx2(const uint16_t* name) SOCKSCOPENET_NOTHROW;

/* Snapshots of the IPv4 and IPv6 TCP and UDP tables; null on failure. */
SOCKSCOPENET_API struct statTCPROW* sockscopeNET_getstat_tcp(void) SOCKSCOPENET_NOTHROW;
SOCKSCOPENET_API struct statUDPROW* sockscopeNET_getstat_udp(void) SOCKSCOPENET_NOTHROW;
SOCKSCOPENET_API struct statTCPROW* sockscopeNET_getstat_tcp6(void) SOCKSCOPENET_NOTHROW;
SOCKSCOPENET_API struct statUDPROW* sockscopeNET_getstat_udp6(void) SOCKSCOPENET_NOTHROW;

/* Gives a snapshot back with every text in it; null does nothing. */
SOCKSCOPENET_API void sockscopeNET_free_tcp(struct statTCPROW* rows) SOCKSCOPENET_NOTHROW;
SOCKSCOPENET_API void sockscopeNET_free_udp(struct statUDPROW* rows) SOCKSCOPENET_NOTHROW;

#if defined(SOCKSCOPENET_COUNTING)
/* Only in the tests' build, libsockscopeNET_x64_counting.so: snapshots
   returned by the functions above and not yet given back, in the whole
   process; negative after a double release. */
SOCKSCOPENET_API int64_t sockscopeNET_live_snapshots(void) SOCKSCOPENET_NOTHROW;
#endif

#if defined(__cplusplus)
}
#endif

#endif

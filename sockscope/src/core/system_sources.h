// SPDX-License-Identifier: MIT
// Where a call reads the system from. The public members use the defaults;
// tests point them at a prepared /proc tree or force one table source.
#pragma once

#include <cstdint>

// A build may set another number (-DSOCKSCOPE_ITERATOR_FIRST_CALL_FROM=N in
// its compiler flags, for the whole build): benchmarks/first_call_crossing.sh
// builds one with 1 to time the iterator's first call at any size.
#ifndef SOCKSCOPE_ITERATOR_FIRST_CALL_FROM
#define SOCKSCOPE_ITERATOR_FIRST_CALL_FROM 12000
#endif

namespace sockscope_detail {

// Netlink first and /proc/net when netlink can't serve, or one of them alone.
enum class TableSource { automatic, netlink, proc_net };

// The owner scan: the kernel iterator when the caller may load it and the
// /proc scan otherwise, or the /proc scan alone.
enum class OwnerScan { automatic, proc };

struct SystemSources {
    const char* proc_root = "/proc";
    // Where named network namespaces are bind-mounted (ip netns).
    const char* netns_folder = "/run/netns";
    TableSource table = TableSource::automatic;
    OwnerScan owners = OwnerScan::automatic;
    // A process's first call that needs owners loads the kernel iterator
    // when this many files are open on the machine, and scans /proc below
    // it (see api/owner_sources.h for why this number).
    std::uint64_t iterator_on_first_call_from = SOCKSCOPE_ITERATOR_FIRST_CALL_FROM;
};

} // namespace sockscope_detail

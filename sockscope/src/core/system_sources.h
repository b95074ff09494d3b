// SPDX-License-Identifier: MIT
// Where a call reads the system from. The public members use the defaults;
// tests point them at a prepared /proc tree or force one table source.
#pragma once

#include <cstdint>

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
    // when this many sockets are in use, and scans /proc below it (see
    // api/owner_sources.h for why this number).
    std::uint64_t iterator_on_first_call_from = 25000;
};

} // namespace sockscope_detail

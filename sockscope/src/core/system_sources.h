// SPDX-License-Identifier: MIT
// Where a call reads the system from. The public members use the defaults;
// tests point them at a prepared /proc tree or force one table source.
#pragma once

namespace sockscope_detail {

// Netlink first and /proc/net when netlink can't serve, or one of them alone.
enum class TableSource { automatic, netlink, proc_net };

// The owner scan: the kernel iterator when the caller may load it and the
// /proc scan otherwise, or the /proc scan alone.
enum class OwnerScan { automatic, proc };

struct SystemSources {
    const char* proc_root = "/proc";
    TableSource table = TableSource::automatic;
    OwnerScan owners = OwnerScan::automatic;
};

} // namespace sockscope_detail

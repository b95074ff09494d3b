// SPDX-License-Identifier: MIT
// A table with its owners, as a call reads it: what its records are made
// from (snapshot_records.h).
#pragma once

#include "core/interface_zones.h"
#include "core/socket_owners.h"
#include "core/socket_row.h"

namespace sockscope_detail {

struct OwnedTable {
    SocketRows rows;      // each table's sorted (row_order.h), owners set
    OwnerNames names;     // the owners' (or every holder's) names, when asked for
    InterfaceZones zones; // of the scoped IPv6 addresses
    // Every holder of every socket, when asked for (SocketOwners::every_holder).
    std::vector<SocketHolder> holders;
    // Processes whose descriptors could not be read: their sockets may
    // lack an owner.
    std::uint32_t unreadable_processes = 0;
};

} // namespace sockscope_detail

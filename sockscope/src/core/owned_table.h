// SPDX-License-Identifier: MIT
// A table with its owners, as a call reads it: what its records are made
// from (snapshot_records.h).
#pragma once

#include "core/interface_zones.h"
#include "core/socket_owners.h"
#include "core/socket_row.h"

namespace sockscope_detail {

struct OwnedTable {
    SocketRows rows;      // sorted (row_order.h), owners set
    OwnerNames names;     // the owners' image names, when asked for
    InterfaceZones zones; // of the scoped addresses of an IPv6 table
};

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
// A table with its owners, as a call reads it: what its records are made
// from (snapshot_records.h).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/interface_zones.h"
#include "core/socket_owners.h"
#include "core/socket_details.h"
#include "core/socket_row.h"

namespace sockscope_detail {

// A network namespace that a table's rows are in.
struct NamespaceOfRows {
    std::uint64_t inode = 0;
    std::string name;     // its name under /run/netns, or empty
    InterfaceZones zones; // of its interfaces that scoped addresses are on
};

struct OwnedTable {
    SocketRows rows;  // one namespace after the other, each table's sorted (row_order.h), owners set
    OwnerNames names; // the owners' (or every holder's) names, when asked for
    // The namespaces of the rows, ascending by inode (the caller's own
    // among them); rows name theirs by inode.
    std::vector<NamespaceOfRows> namespaces;
    // The caller's own namespace's rows come first: this many.
    std::size_t own_rows = 0;
    // Namespaces whose tables the caller could not read.
    std::uint32_t skipped_namespaces = 0;
    // Every holder of every socket, when asked for (SocketOwners::every_holder).
    std::vector<SocketHolder> holders;
    // Processes whose descriptors could not be read: their sockets may
    // lack an owner.
    std::uint32_t unreadable_processes = 0;
    // What the rows' details point into (null when none were asked for).
    std::shared_ptr<const DetailStore> details;

    // The namespace of `row`; null when it is none of the above.
    const NamespaceOfRows* namespace_of(const SocketRow& row) const;
    // The zone of a scoped address of `row` (interface_zones.h).
    std::string_view zone_of(const SocketRow& row) const;
};

} // namespace sockscope_detail

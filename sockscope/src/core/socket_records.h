// SPDX-License-Identifier: MIT
// The C interface's snapshot (<sockscope/sockets.h>) made from an owned
// table: one block on the C heap that holds the snapshot's header, the
// sockets, their owners and every text, so that one free gives it all back
// and no failure can leave half of it behind; or a walk over the table
// that writes one socket at a time.
#pragma once

#include <cstddef>
#include <memory>

#include <sockscope/sockets.h>

#include "core/owned_table.h"

namespace sockscope_detail {

// The snapshot of `table`'s rows in their order, each with its holders
// (`table.holders`: read with every holder asked for) and their names.
// Throws std::bad_alloc when memory runs out.
sockscope_snapshot* make_socket_snapshot(const OwnedTable& table);

// The same sockets, one at a time: the table kept as it is read (some 130
// bytes a row with its texts, where the block takes over 200), and each
// socket written, with its owners and details, in a room of the walk's on
// request.
class SocketWalk {
public:
    virtual ~SocketWalk() = default;
    // A snapshot's header for the walk's sockets (its `sockets` null).
    virtual const sockscope_snapshot& header() const = 0;
    // Socket `index` (below header().count), valid until the next call.
    virtual const sockscope_socket& socket(std::size_t index) = 0;
};

// Throws std::bad_alloc when memory runs out.
std::unique_ptr<SocketWalk> walk_socket_table(OwnedTable table);

} // namespace sockscope_detail

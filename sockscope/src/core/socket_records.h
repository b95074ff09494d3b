// SPDX-License-Identifier: MIT
// The C interface's snapshot (<sockscope/sockets.h>) made from an owned
// table: one block on the C heap that holds the snapshot's header, the
// sockets, their owners and every text, so that one free gives it all back
// and no failure can leave half of it behind.
#pragma once

#include <sockscope/sockets.h>

#include "core/owned_table.h"

namespace sockscope_detail {

// The snapshot of `table`'s rows in their order, each with its holders
// (`table.holders`: read with every holder asked for) and their names.
// Throws std::bad_alloc when memory runs out.
sockscope_snapshot* make_socket_snapshot(const OwnedTable& table);

} // namespace sockscope_detail

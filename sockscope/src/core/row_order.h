// SPDX-License-Identifier: MIT
// The order callers get rows in.
#pragma once

#include <span>

#include "core/socket_row.h"

namespace sockscope_detail {

// The rows of one table, by local address (its bytes, so IPv4 addresses
// compare as host-order numbers), local port (host order), remote address,
// remote port, owner, inode.
void sort_rows(std::span<SocketRow> rows);

} // namespace sockscope_detail

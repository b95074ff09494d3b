// SPDX-License-Identifier: MIT
// The order callers get rows in.
#pragma once

#include <vector>

#include "core/socket_row.h"

namespace sockscope_detail {

// By local address (its bytes, so IPv4 addresses compare as host-order
// numbers), local port (host order), remote address, remote port, owner.
// UDP rows have no remote end, so they come by local address, port, owner.
void sort_rows(SocketRows& rows);

} // namespace sockscope_detail

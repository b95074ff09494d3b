// SPDX-License-Identifier: MIT
// The names of the interfaces that a table's scoped IPv6 addresses are on.
#pragma once

#include <span>

#include "core/interface_zones.h"
#include "core/result.h"
#include "core/socket_row.h"

namespace sockscope_detail {

// The zone of every interface that the scoped addresses of IPv6 `rows`
// need (none: no system call), each name asked for once through one socket
// of the caller's network namespace. An interface that is gone, or whose
// name can't be read, gets its index. Fails when there is no descriptor or
// kernel memory for that socket.
Result<InterfaceZones> read_interface_zones(std::span<const SocketRow> rows);

} // namespace sockscope_detail

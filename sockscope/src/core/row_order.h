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

// Drops the repeats of a socket from rows that sort_rows has put in order,
// keeping one: the kernel hands a table out in pieces (a netlink dump's
// datagrams, /proc/net's pages) and finds where the next piece starts by
// counting rows again, so a socket that goes meanwhile ahead of that place
// makes a row come twice. A socket is its inode, or, without one (TIME_WAIT,
// a connection not yet accepted), its two ends; its repeats sort side by
// side. Returns how many rows are left, at the front of `rows`.
std::size_t drop_repeated_rows(std::span<SocketRow> rows);

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
// The rows of a kernel socket table, without owners.
#pragma once

#include <span>
#include <vector>

#include "core/result.h"
#include "core/socket_row.h"
#include "core/system_sources.h"
#include "core/table_request.h"

namespace sockscope_detail {

// Netlink first; /proc/net/{tcp,udp,tcp6,udp6} under the sources' /proc
// root when netlink can't serve (refused by a sandbox, its module missing).
// Appends the rows `table` asks for to `rows`; fails, leaving `rows` as
// they were, when no source answers.
Result<void> read_socket_table(const TableRequest& table, const SystemSources& sources, SocketRows& rows);

// The rows of every table in `tables`, one after the other, as
// read_socket_table reads each; appends to `table_ends` where each table's
// rows end. TCP's IPv4 and IPv6 tables asked for together are read with
// one netlink dump where the kernel takes that request (one walk of its
// table instead of two), then parted by family. Fails as the first table
// that can't be read fails, leaving `rows` and `table_ends` as they were.
Result<void> read_socket_tables(std::span<const TableRequest> tables, const SystemSources& sources,
                                SocketRows& rows, std::vector<std::size_t>& table_ends);

} // namespace sockscope_detail

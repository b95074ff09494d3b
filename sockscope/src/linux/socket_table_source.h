// SPDX-License-Identifier: MIT
// The rows of a kernel socket table, without owners.
#pragma once

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

// How many sockets are in use in the caller's network namespace
// (/proc/net/sockstat under the sources' /proc root): what a scan of
// every process's descriptors is heading for.
Result<std::uint64_t> read_sockets_in_use(const SystemSources& sources);

} // namespace sockscope_detail

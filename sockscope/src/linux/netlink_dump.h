// SPDX-License-Identifier: MIT
// The netlink socket loop of a sock_diag dump: one request, then datagrams
// until NLMSG_DONE. The messages themselves are built and parsed in
// netlink_messages.h.
#pragma once

#include <vector>

#include "core/netlink_messages.h"
#include "core/result.h"
#include "core/socket_row.h"
#include "core/table_request.h"

namespace sockscope_detail {

// Appends the rows that `table` asks for to `rows` (of both families, in
// the kernel's order, for `tcp_both_families`); fails with the errno of
// what went wrong (netlink refused or missing, the kernel's error, a
// malformed answer: EPROTO), leaving `rows` as they were.
// The socket is closed before it returns.
Result<void> dump_with_netlink(const TableRequest& table, SocketRows& rows, DumpKind kind = DumpKind::one_family);

} // namespace sockscope_detail

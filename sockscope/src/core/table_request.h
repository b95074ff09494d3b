// SPDX-License-Identifier: MIT
// Which sockets of one kernel table a call asks for. The kernel applies
// the filters where it can (sock_diag's state mask and port bytecode, see
// netlink_messages.h), so that a query for one port on a busy host costs
// a fraction of the whole table; every row that arrives passes them again
// here, so that every table source gives the same answer.
#pragma once

#include <cstdint>
#include <span>

#include "core/filter_expression.h"
#include "core/socket_details.h"
#include "core/socket_row.h"

namespace sockscope_detail {

struct TableRequest {
    Protocol protocol = Protocol::tcp;
    Family family = Family::ipv4;
    // Bit (1 << state) of each kernel state wanted (tcp_state.h); 0: every
    // state the table lists.
    std::uint32_t states = 0;
    // Host order; a socket passes when its local or its remote port is one
    // of them. Empty: every port.
    std::span<const std::uint16_t> ports;
    // A filter expression's states and tests besides (null: none); the
    // caller keeps it alive while the request is used.
    const FilterExpression* expression = nullptr;
    // DetailBits (socket_details.h) the dump asks the kernel for, kept in
    // `detail_store` (which the caller keeps alive); 0: none.
    std::uint32_t details = 0;
    DetailStore* detail_store = nullptr;
};

// The states the kernel is asked for: those of `request` (and its
// expression) that its table lists; 0 when none can pass.
std::uint32_t requested_states(const TableRequest& request);

// Whether `row` is one `request` asks for.
bool passes(const TableRequest& request, const SocketRow& row);

// Whether `first` and `second` are TCP's IPv4 and IPv6 tables with the same
// states, ports and expression: one dump of the kernel's TCP table can answer both
// (DumpKind::tcp_both_families in netlink_messages.h).
bool one_dump_answers(const TableRequest& first, const TableRequest& second);

} // namespace sockscope_detail

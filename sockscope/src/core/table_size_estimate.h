// SPDX-License-Identifier: MIT
// How many rows the dumps of some tables will give, as the kernel counts
// its sockets in /proc/net/sockstat and sockstat6: room for the rows made
// once, where an array grown by doubling copies itself at each step and,
// while it does, holds both copies (a third of a large table's peak).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "core/table_request.h"

namespace sockscope_detail {

// The sum over `tables` of their sockets: IPv4 TCP's "TCP: inuse" and
// IPv6 TCP's "TCP6: inuse" each with TIME_WAIT's "tw" (which the kernel
// counts for both), UDP's "UDP: inuse" and "UDP6: inuse". A figure the
// texts lack counts 0: an estimate, never a limit.
std::size_t estimated_rows(std::string_view sockstat, std::string_view sockstat6,
                           std::span<const TableRequest> tables);

} // namespace sockscope_detail

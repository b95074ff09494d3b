// SPDX-License-Identifier: MIT
// The filter program a sock_diag dump carries (INET_DIAG_REQ_BYTECODE, see
// <linux/inet_diag.h>), which the kernel runs on every socket of the table
// before it is copied out: a query for a few sockets of a busy host then
// costs a fraction of the whole table.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/filter_expression.h"

namespace sockscope_detail {

// The program that passes a socket when its local or remote port is one of
// `ports` (none: any) and the tests of `expression` (null: none) hold; its
// states are the request's mask, not the program's. Empty when there is
// nothing to test or the program would not fit its netlink attribute: the
// kernel then sends every socket, and the rows are filtered here alone.
//
// The program, as the kernel's checker wants it: every op's `yes` is its
// own length, so that the path of successes from the start meets every op
// (each jump's target has to be on it); a test that fails jumps by its
// `no` to a later op, to the end (the socket is taken) or 4 bytes past it
// (left out); JMP always jumps by its `no`.
std::vector<unsigned char> filter_program(std::span<const std::uint16_t> ports, const FilterExpression* expression);

} // namespace sockscope_detail

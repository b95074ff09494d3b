// SPDX-License-Identifier: MIT
// One line of the console listing, seven fields separated by single spaces:
//
//   local-address local-port remote-address remote-port pid name state
//
// Numbers are plain decimal; the name is escaped (console_text.h) so that
// the line always has exactly seven fields.
#pragma once

#include <string>

#include <sockscope/sockscope.h>

namespace sockscope_demo {

// Appends the line for `row`, newline included.
void append_listing_line(std::string& line, const statTCPROW& row);

// Appends `value` in decimal, no padding or grouping.
void append_decimal(std::string& out, std::uint32_t value);

} // namespace sockscope_demo

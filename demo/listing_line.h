// SPDX-License-Identifier: MIT
// One line of the console listing, seven fields separated by single spaces:
//
//   local-address local-port remote-address remote-port pid name state
//
// Numbers are plain decimal; the name is escaped
// (sockscope_text/terminal_text.h) so that the line always has exactly
// seven fields.
#pragma once

#include <string>

#include <sockscope/sockscope.h>

namespace sockscope_demo {

// Appends the line for `row`, newline included.
void append_listing_line(std::string& line, const statTCPROW& row);

} // namespace sockscope_demo

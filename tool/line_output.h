// SPDX-License-Identifier: MIT
// The tool's output for a pipe or a file: one line per socket, the table's
// fields (columns.h, all of them, never cut or elided) separated by single
// spaces. States have their standard names (ESTABLISHED, not ESTAB); the
// holders are one field, "1234/nginx,1240/nginx", "-" when none.
#pragma once

#include "listing.h"
#include "output_buffer.h"

namespace sockscope_tool {

void write_lines(const Listing& listing, OutputBuffer& out);

} // namespace sockscope_tool

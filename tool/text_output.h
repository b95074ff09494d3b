// SPDX-License-Identifier: MIT
// The tool's text output: an aligned table with a header for a person at a
// terminal, one socket per line for a pipe. Names are escaped as the
// console listing escapes them, in the locale's character set.
#pragma once

#include <string>
#include <vector>

#include "listed_socket.h"

namespace sockscope_tool {

// Appends one line, fields separated by single spaces:
//   proto local-address local-port remote-address remote-port state pid name
// An absent field (a UDP socket's peer and state, an unknown owner) is "-".
void append_plain_line(std::string& out, const ListedSocket& row);

// The table's lines without their newlines, the header first. Columns are
// separated by two blanks; ports and ids are right-aligned; the name comes
// last, whole and unpadded.
std::vector<std::string> table_lines(const std::vector<ListedSocket>& rows);

// One screen of a table redrawn in place: cursor home, `title`, the lines
// each clearing the rest of its screen line, then the rest of the screen
// cleared; line wrapping is off meanwhile, so a long line is clipped at the
// screen's edge. When the lines don't fit in `screen_rows` (0: unknown), the
// last ones give way to a line saying how many were left out.
std::string terminal_frame(const std::string& title, const std::vector<std::string>& lines, unsigned screen_rows);

} // namespace sockscope_tool

// SPDX-License-Identifier: MIT
// How the table's columns fit a terminal's width. Each column is as wide
// as its header and its widest cell. When the line is wider than the
// terminal, these steps are taken in turn until it fits:
//
//   1. addresses wider than 24 columns are elided in the middle, names
//      (Netns, Container) cut at their end, and a column narrower than
//      its header is headed "Local", "Peer" or "Cont";
//   2. columns are separated by one blank instead of two;
//   3. Send-Q goes, then 4. Recv-Q, 5. User, 6. Cookie, 7. Inode, 8. UID,
//      9. Netns, 10. Proto;
//   11. addresses and names wider than 12 columns are elided or cut;
//   12. Container goes.
//
// "Fits" leaves PID/Name, the last column, 20 columns (or fewer when no
// cell needs them); it then takes all the room the line has left, and a
// cell that needs more is cut (table_output.h says how). A terminal too
// narrow even then has its lines cut at its edge.
#pragma once

#include <cstddef>
#include <vector>

#include "columns.h"

namespace sockscope_tool {

// The room that fitting leaves PID/Name when its cells need it.
constexpr std::size_t room_for_owners = 20;

struct ColumnFit {
    bool shown = true;
    std::size_t width = 0; // the last column's: the room it has
    bool short_header = false;
};

struct TableFit {
    std::vector<ColumnFit> columns; // as the columns given
    std::size_t separator = 2;      // blanks between two columns
};

// `widest[i]`: the widest cell of columns[i], its header aside.
// `terminal_width` 0: no limit.
TableFit fit_table(const std::vector<Column>& columns, const std::vector<std::size_t>& widest,
                   std::size_t terminal_width);

} // namespace sockscope_tool

// SPDX-License-Identifier: MIT
// How the table's columns fit a terminal's width. Each column is as wide
// as its header and its widest cell. When the line is wider than the
// terminal, these steps are taken in turn until it fits:
//
//   1. addresses wider than 24 columns are elided in the middle, names
//      (Netns, Container, Cgroup) cut at their end, and a column narrower
//      than its header is headed "Local", "Peer" or "Cont";
//   2. columns are separated by one blank instead of two;
//   3. Cgroup goes, then 4. V6only, 5. Send-Q, 6. Recv-Q, 7. User,
//      8. Cookie, 9. Inode, 10. UID, 11. Netns, 12. Proto;
//   13. addresses and names wider than 12 columns are elided or cut;
//   14. Container goes.
//
// "Fits" leaves PID/Name, the last column, 20 columns (or fewer when no
// cell needs them), and at least the room of the widest first holder (up
// to 40 columns), so that a holder is shown whole; it then takes all the
// room the line has left, and a cell that needs more shows as many whole
// holders as fit (table_output.h says how). A terminal too narrow even
// then gets lines wider than it, which it wraps.
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

// The most room fitting keeps for a first holder: a longer one (a name a
// process chose) gives way to no more columns.
constexpr std::size_t room_for_first_owner = 40;

// `widest[i]`: the widest cell of columns[i], its header aside.
// `terminal_width` 0: no limit. `widest_first_owner`: the widest first
// holder of a row, which the last column keeps room for.
TableFit fit_table(const std::vector<Column>& columns, const std::vector<std::size_t>& widest,
                   std::size_t terminal_width, std::size_t widest_first_owner = 0);

// The columns a fit leaves out, in the order of `columns`.
std::vector<Column> left_out(const std::vector<Column>& columns, const TableFit& fit);

} // namespace sockscope_tool

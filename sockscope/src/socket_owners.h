// Which process owns each socket. The kernel's tables name a socket only by
// its inode; a process holds it through a descriptor whose /proc link reads
// "socket:[<inode>]". One walk over /proc/<id>/fd of every process, in
// ascending id order, answers all rows of a table at once.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "socket_row.h"

namespace sockscope_detail {

// The inode of a descriptor link "socket:[12345]"; false for any other link.
bool parse_socket_link(std::string_view link, std::uint64_t& inode);

// Sets `owner` of every row whose inode some process holds: the lowest id
// that holds it (a socket inherited across fork is held by several). Rows
// with inode 0, and sockets of processes whose descriptors we may not read,
// keep owner 0. Processes that end during the walk are skipped.
void assign_owners(std::vector<SocketRow>& rows);

} // namespace sockscope_detail

// Which process owns each socket. The kernel's tables name a socket only by
// its inode; a process holds it through a descriptor whose /proc link reads
// "socket:[<inode>]". One walk over /proc/<id>/fd of every process, in
// ascending id order, answers all rows of a table at once.
#pragma once

#include <cstdint>
#include <climits>
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
//
// Processes above `last_id` are not looked at: a caller that only asks
// which rows process P owns passes P, since no higher id can be the lowest
// holder of a socket that P holds. Rows owned only above it keep owner 0.
void assign_owners(std::vector<SocketRow>& rows, std::uint32_t last_id = UINT32_MAX);

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
#include "taken_snapshot.h"

#include <cerrno>

namespace sockscope_tool {

TakenSnapshot::TakenSnapshot(const SocketFilter& filter) {
    if (!filter.passes_nothing()) take(filter.selection());
}

TakenSnapshot::TakenSnapshot(const sockscope_selection& selection) { take(selection); }

void TakenSnapshot::take(const sockscope_selection& selection) {
    errno = 0;
    taken_.reset(sockscope_walk_start(&selection));
    if (!taken_) error_ = errno != 0 ? errno : ENOMEM;
}

bool owners_were_hidden(const TakenSnapshot& taken) {
    if (taken.header().unreadable_processes == 0) return false;
    for (std::size_t i = 0; i < taken.count(); ++i) {
        const sockscope_socket& socket = taken.socket(i);
        if (socket.inode != 0 && socket.owner_count == 0) return true;
    }
    return false;
}

bool has_rows_in(const TakenSnapshot& taken, std::uint64_t inode) {
    for (std::size_t i = 0; i < taken.count(); ++i)
        if (taken.socket(i).netns == inode) return true;
    return false;
}

} // namespace sockscope_tool

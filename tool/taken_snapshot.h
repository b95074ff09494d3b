// SPDX-License-Identifier: MIT
// The sockets a filter selects, walked one at a time (the library keeps
// them compactly and writes out each socket asked for, where a snapshot's
// block would hold every record at once), given back to the library
// however the listing ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include <sockscope/sockets.h>

#include "socket_filter.h"

namespace sockscope_tool {

class TakenSnapshot {
public:
    // Takes the snapshot; when the filter passes nothing, holds an empty
    // one without asking the library.
    explicit TakenSnapshot(const SocketFilter& filter);
    // Takes the sockets `selection` selects.
    explicit TakenSnapshot(const sockscope_selection& selection);

    // 0, or the errno value of a snapshot that failed (then it is empty).
    int error() const { return error_; }
    // What a snapshot's header says (its `sockets` null): the count, the
    // records' sizes for sockscope_owner_at, the processes and namespaces
    // that could not be read.
    const sockscope_snapshot& header() const { return taken_ ? *sockscope_walk_header(taken_.get()) : empty_; }
    std::size_t count() const { return header().count; }
    // Socket `index` (below count()), valid until the next one is asked for.
    const sockscope_socket& socket(std::size_t index) const { return *sockscope_walk_socket(taken_.get(), index); }

private:
    void take(const sockscope_selection& selection);

    struct Release {
        void operator()(sockscope_walk* walk) const { sockscope_walk_end(walk); }
    };
    std::unique_ptr<sockscope_walk, Release> taken_;
    sockscope_snapshot empty_{sizeof(sockscope_snapshot), sizeof(sockscope_socket), sizeof(sockscope_owner), 0, nullptr, 0, 0};
    int error_ = 0;
};

// Whether sockets that some process holds were left without an owner
// because the caller could not read the descriptors of some processes
// (another user's, or any without CAP_SYS_PTRACE): the snapshot counts
// those processes, and a socket with an inode is held by a descriptor
// (those without one, TIME_WAIT and connections not accepted yet, have no
// owner anyway).
bool owners_were_hidden(const TakenSnapshot& taken);

// Whether a socket taken is in the network namespace of `inode`.
bool has_rows_in(const TakenSnapshot& taken, std::uint64_t inode);

} // namespace sockscope_tool

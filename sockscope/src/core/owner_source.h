// SPDX-License-Identifier: MIT
// A way of finding which processes hold a table's sockets: the /proc scan
// (linux/proc_owner_scan.h) is one; the kernel iterator
// (linux/bpf_owner_source.h) is another; api/owner_sources.h picks one for
// a call. Each offers every holder it finds to SocketOwners, which keeps
// the lowest id.
#pragma once

#include "core/result.h"
#include "core/socket_owners.h"

namespace sockscope_detail {

// How hard a call may work the machine: threads in all for the /proc scan
// (1: the caller's alone, nothing started early).
struct ScanPlan {
    unsigned threads = 1;
};

class OwnerSource {
public:
    virtual ~OwnerSource() = default;

    // Called before the table is read: a source may begin looking for the
    // holders of every socket now, in the background, so that its work and
    // the table's reading overlap. Destroying the source stops it.
    virtual void start() {}

    // Offers to `owners` the holders of its inodes, among the processes the
    // source was made for, and returns when none is left to offer. A source
    // may stop once every inode has an owner. Processes that end meanwhile,
    // or whose descriptors we may not read, are passed over (core/result.h);
    // a failure is the source's own (no descriptor, /proc not there, the
    // iterator refused).
    virtual Result<void> find_owners(SocketOwners& owners) = 0;
};

} // namespace sockscope_detail

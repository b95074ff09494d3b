// A way of finding which processes hold a table's sockets: the /proc scan
// (linux/proc_owner_scan.h) is one; a kernel iterator is another. Each
// offers every holder it finds to SocketOwners, which keeps the lowest id.
#pragma once

#include <cstdint>

#include "socket_owners.h"

namespace sockscope_detail {

class OwnerSource {
public:
    virtual ~OwnerSource() = default;

    // Offers to `owners` the holders of its inodes among processes with ids
    // up to `last_owner`. A source may stop once every inode has an owner.
    // Processes that end meanwhile, or whose descriptors we may not read,
    // are passed over; a system failure (no descriptor, no memory) throws
    // SystemFailure.
    virtual void find_owners(SocketOwners& owners, std::uint32_t last_owner) = 0;
};

} // namespace sockscope_detail

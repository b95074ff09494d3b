// Owners from /proc: every process's descriptor links, "socket:[<inode>]"
// for a socket, read in ascending id order. The way that needs no
// privilege: a caller sees the descriptors of its own user's processes
// (all of them as root).
#pragma once

#include "linux/proc_fs.h"
#include "owner_source.h"

namespace sockscope_detail {

class ProcOwnerScan final : public OwnerSource {
public:
    explicit ProcOwnerScan(const ProcRoot& root) : root_(root) {}
    void find_owners(SocketOwners& owners, std::uint32_t last_owner) override;

private:
    const ProcRoot& root_;
};

} // namespace sockscope_detail

// The choice of owner source for a call.
#pragma once

#include <cstdint>

#include "linux/proc_fs.h"
#include "socket_owners.h"
#include "system_sources.h"

namespace sockscope_detail {

// Offers the holders of `owners`' inodes with ids up to `last_owner`, found
// by the fastest source the caller may use (see OwnerScan).
void find_socket_owners(SocketOwners& owners, std::uint32_t last_owner, const ProcRoot& root,
                        const SystemSources& sources);

} // namespace sockscope_detail

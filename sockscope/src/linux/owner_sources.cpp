#include "linux/owner_sources.h"

#include "linux/proc_owner_scan.h"

namespace sockscope_detail {

void find_socket_owners(SocketOwners& owners, std::uint32_t last_owner, const ProcRoot& root,
                        const SystemSources&) {
    ProcOwnerScan(root).find_owners(owners, last_owner);
}

} // namespace sockscope_detail

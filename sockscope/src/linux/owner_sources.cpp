#include "linux/owner_sources.h"

#include <algorithm>
#include <unistd.h>

#include "linux/bpf_owner_source.h"
#include "linux/bpf_socket_holders.h"
#include "linux/proc_owner_scan.h"

namespace sockscope_detail {

ScanPlan full_speed_plan() {
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    return {static_cast<unsigned>(std::clamp<long>(cpus, 1, 8))};
}

std::unique_ptr<OwnerSource> make_owner_source(const ProcRoot& root, std::uint32_t last_owner,
                                               const SystemSources& sources, const ScanPlan& plan) {
    if (sources.owners == OwnerScan::automatic && socket_holders_may_be_read())
        return std::make_unique<BpfOwnerSource>(root, last_owner, plan);
    return std::make_unique<ProcOwnerScan>(root, last_owner, plan.threads);
}

} // namespace sockscope_detail

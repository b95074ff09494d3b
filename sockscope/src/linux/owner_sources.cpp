#include "linux/owner_sources.h"

#include <algorithm>
#include <unistd.h>

#include "linux/proc_owner_scan.h"

namespace sockscope_detail {

ScanPlan full_speed_plan() {
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    return {static_cast<unsigned>(std::clamp<long>(cpus, 1, 8))};
}

std::unique_ptr<OwnerSource> make_owner_source(const ProcRoot& root, std::uint32_t last_owner,
                                               const SystemSources&, const ScanPlan& plan) {
    return std::make_unique<ProcOwnerScan>(root, last_owner, plan.threads);
}

} // namespace sockscope_detail

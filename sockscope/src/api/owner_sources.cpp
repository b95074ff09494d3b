// SPDX-License-Identifier: MIT
#include "api/owner_sources.h"

#include <algorithm>
#include <atomic>
#include <unistd.h>

#include "linux/bpf_owner_source.h"
#include "linux/bpf_socket_holders.h"
#include "linux/proc_owner_scan.h"

namespace sockscope_detail {

ScanPlan full_speed_plan() {
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    return {static_cast<unsigned>(std::clamp<long>(cpus, 1, 8))};
}

namespace {

// Loading the iterator costs some 60 ms once; a call reads it in a few. A
// process that takes one snapshot and ends (the listing, a script) would
// spend more on the load than it saves below tens of thousands of sockets,
// while one that asks again (a service, a monitor) gains it back many
// times over. So a process's first call that needs owners scans /proc,
// and the iterator is loaded from its second on.
//
// The iterator numbers processes as the caller's PID namespace does, while
// names are read from /proc: where /proc numbers them otherwise, /proc
// alone answers, with its numbers (as ps shows them there).
bool use_iterator(const SystemSources& sources, const ProcRoot& root) {
    static std::atomic<bool> asked_before{false};
    if (sources.owners != OwnerScan::automatic || !socket_holders_may_be_read() || !root.numbers_as_caller())
        return false;
    return socket_holders_loaded() || asked_before.exchange(true, std::memory_order_acq_rel);
}

} // namespace

std::unique_ptr<OwnerSource> make_owner_source(const ProcRoot& root, std::uint32_t only_process,
                                               const SystemSources& sources, const ScanPlan& plan) {
    if (use_iterator(sources, root)) return std::make_unique<BpfOwnerSource>(root, only_process, plan);
    return std::make_unique<ProcOwnerScan>(root, only_process, plan.threads);
}

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
// The choice of owner source for a call.
#pragma once

#include <cstdint>
#include <memory>

#include "linux/proc_fs.h"
#include "core/owner_source.h"
#include "core/system_sources.h"

namespace sockscope_detail {

// How hard a call may work the machine: threads in all for the /proc scan
// (1: the caller's alone, nothing started early).
struct ScanPlan {
    unsigned threads = 1;
};

// The plan for a call with every resource it wants: at most one thread
// per online CPU, at most 8.
ScanPlan full_speed_plan();

// The fastest owner source the caller may use (see OwnerScan), for
// every process, or only process `only_process` when it is not 0.
std::unique_ptr<OwnerSource> make_owner_source(const ProcRoot& root, std::uint32_t only_process,
                                               const SystemSources& sources, const ScanPlan& plan);

} // namespace sockscope_detail

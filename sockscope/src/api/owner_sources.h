// SPDX-License-Identifier: MIT
// Which way a call finds owners, decided once per call, here: the kernel
// iterator or the /proc scan. (The two give the same answers; they differ
// in cost and in what they need.)
#pragma once

#include <cstdint>
#include <memory>

#include "core/owner_source.h"
#include "core/system_sources.h"
#include "linux/proc_fs.h"

namespace sockscope_detail {

enum class OwnerPath { iterator, proc_scan };

// What the choice rests on, read afresh for every call.
struct OwnerPathFacts {
    OwnerScan wanted = OwnerScan::automatic; // SystemSources::owners
    bool iterator_may_answer = false;        // built in, privileged now, not backing off a failed load
    bool iterator_loaded = false;
    bool proc_numbers_as_caller = false; // /proc is the caller's PID namespace's (ProcRoot)
    bool first_call = false;             // the process's first call that needs owners
};

// The rule, with nothing of its own to read:
//
// - SOCKSCOPE_OWNER_SCAN=proc (OwnerScan::proc) always scans /proc.
// - The iterator numbers processes as the caller's PID namespace does,
//   while names are read from /proc: where /proc numbers them otherwise,
//   /proc alone answers, with its numbers (as ps shows them there).
// - Loading the iterator costs some 60 ms once; a call reads it in a few.
//   A process that takes one snapshot and ends (the listing, a script)
//   would spend more on the load than it saves below tens of thousands of
//   sockets, while one that asks again (a service, a monitor) gains it
//   back many times over. So a process's first call that needs owners
//   scans /proc, unless the iterator is loaded already; from its second on
//   the iterator is loaded and used.
OwnerPath choose_owner_path(const OwnerPathFacts& facts);

// The facts for this call, this process's first call marked as such.
OwnerPathFacts owner_path_facts(const SystemSources& sources, const ProcRoot& root);

// The source of the path chosen for this call, for every process or only
// process `only_process` when it is not 0. Where the iterator, chosen,
// can't answer after all (another thread is loading it, the kernel refused
// the read), the same source scans /proc instead.
std::unique_ptr<OwnerSource> make_owner_source(const ProcRoot& root, std::uint32_t only_process,
                                               const SystemSources& sources, const ScanPlan& plan);

} // namespace sockscope_detail

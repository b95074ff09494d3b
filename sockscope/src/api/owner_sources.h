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
    // Files open on the machine on the first call (0 later, or when
    // unknown), and from how many the first call loads the iterator.
    std::uint64_t open_files = 0;
    std::uint64_t iterator_on_first_call_from = 0;
};

// The rule, with nothing of its own to read:
//
// - SOCKSCOPE_OWNER_SCAN=proc (OwnerScan::proc) always scans /proc.
// - The iterator numbers processes as the caller's PID namespace does,
//   while names are read from /proc: where /proc numbers them otherwise,
//   /proc alone answers, with its numbers (as ps shows them there).
// - Loading the iterator costs about 20 ms once; it then reads every
//   socket descriptor of the machine in about 0.15 us each, where the /proc
//   scan reads one link in about 3 us. A process that asks again (a
//   service, a monitor) gains the load back many times over, so its second
//   call loads the iterator and later ones use it. Its first call decides
//   by the files open on the machine (/proc/sys/fs/file-nr), what both
//   are heading for: the scan reads every descriptor link, a socket's or
//   not, of every process, whatever network namespace its sockets are in.
//   From iterator_on_first_call_from (12,000, where a one-shot program
//   took as long either way, with sockets or with other files open) it
//   loads the iterator at once; below it the scan is quicker than the load
//   and answers. One-shot programs (the listing, the tool, a
//   script) thus pay the load only on a host where it pays for itself.
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

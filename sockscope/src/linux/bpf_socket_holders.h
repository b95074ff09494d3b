// SPDX-License-Identifier: MIT
// The privileged source of socket owners: one pass of a BPF iterator over
// every task's open files lists every socket descriptor on the machine,
// where the /proc scan reads one descriptor link at a time.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "core/result.h"
#include "core/socket_owners.h"

namespace sockscope_detail {

// Every socket descriptor held by a thread-group leader's file table in the
// caller's PID namespace, read in one pass of a BPF task_file iterator, in
// no particular order. Processes with no number in the caller's namespace
// do not appear.
//
// A failure whenever the iterator can't answer, and the caller then scans
// /proc instead: ENOTSUP built without BPF support, or the load failed
// (no libbpf.so.1, no BTF, the program refused: the load's errno where
// libbpf gives one) and its back-off has not passed; EPERM no privilege now
// (CAP_SYS_PTRACE and either CAP_SYS_ADMIN or CAP_BPF with CAP_PERFMON, in
// the user namespace the program was loaded in; checked on every call);
// EAGAIN another thread is loading it (no call waits for another's load);
// or the read's own errno.
//
// The program is loaded on the first call and kept for the life of the
// process; after a failed load it is tried again no sooner than
// load_retry_delay(failed loads so far). Every call reads the kernel
// afresh. Throws only std::bad_alloc.
Result<SocketHolders> read_socket_holders();

// False when read_socket_holders can't answer: built without BPF support,
// no privilege, or a load failed and its back-off has not passed. True
// when it may (loaded, or a load may be tried). Loads nothing.
bool socket_holders_may_be_read();

// Whether the program is loaded in this process.
bool socket_holders_loaded();

// How long after its `failures`-th failed load (1, 2, ...) the program may
// be loaded again: a second, doubled with each further failure, at most
// ten minutes. A failure that lasts costs a load attempt (tens of
// milliseconds) every ten minutes; a passing one is over within seconds.
constexpr std::chrono::milliseconds load_retry_delay(unsigned failures) {
    constexpr std::chrono::milliseconds first{1000}, longest{600000};
    if (failures == 0) return std::chrono::milliseconds{0};
    return failures > 10 ? longest : std::min(longest, first * (1u << (failures - 1)));
}

} // namespace sockscope_detail

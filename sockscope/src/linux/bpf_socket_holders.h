// SPDX-License-Identifier: MIT
// The privileged source of socket owners: one pass of a BPF iterator over
// every task's open files lists every socket descriptor on the machine,
// where the /proc scan reads one descriptor link at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "socket_owners.h"

namespace sockscope_detail {

// inode: the socket's inode, as sock_diag reports it (idiag_inode);
// process: its thread-group id as the caller's PID namespace numbers it;
// fd: the descriptor number in that process.
using SocketHolder = Holding;
using SocketHolders = WorkingVector<SocketHolder>;

// Every socket descriptor held by a thread-group leader's file table in the
// caller's PID namespace, read in one pass of a BPF task_file iterator, in
// no particular order. Processes with no number in the caller's namespace
// do not appear.
//
// nullopt whenever the iterator can't be used: turned off by
// SOCKSCOPE_OWNER_SCAN=proc (read on every call), built without BPF
// support, no libbpf.so.1, no BTF, no privilege now (CAP_SYS_PTRACE and
// either CAP_SYS_ADMIN or CAP_BPF with CAP_PERFMON, checked on every call),
// program refused, or any error while loading or reading. The caller then
// scans /proc instead.
//
// The program is loaded on the first call and kept for the life of the
// process; a failed load is not retried. While one thread loads it, calls
// on other threads don't wait: they answer nullopt. Every call reads the
// kernel afresh. Throws only std::bad_alloc.
std::optional<SocketHolders> read_socket_holders();

// False when read_socket_holders can't answer: turned off, built without
// BPF support, or a load was tried and failed. True when it may (loaded,
// or not tried yet). Loads nothing.
bool socket_holders_may_be_read();

// Whether the program is loaded in this process.
bool socket_holders_loaded();

} // namespace sockscope_detail

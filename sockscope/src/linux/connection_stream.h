// SPDX-License-Identifier: MIT
// A live stream of the machine's TCP connections with their owners: one
// record when a connection closes (and, when asked, one when it opens),
// from a BPF program (bpf/connections.bpf.c) that follows every TCP
// socket's state changes in every network namespace.
//
// Use: open a stream, wait until its descriptor is readable (poll, epoll:
// level-triggered), read a batch, repeat; close. The library runs no
// thread of its own: records wait in a kernel ring buffer until read. The
// descriptor becomes readable at the first record after the buffer was
// read empty; a reader that waits for it and then lets records gather for
// a few milliseconds before it reads costs the machine far less than one
// that reads each record as it comes. When the buffer is full, further
// records are dropped in the kernel and counted; each read returns how
// many were lost since the previous one. The count also holds the state
// changes that no program saw (the kernel does not run a program again on
// a CPU where it is running; a second program takes most of those, see
// bpf/connections.bpf.c): each may have been a close, or left a record
// without one of its states.
//
// Owners. A connection's owner is taken only at a moment when the process
// doing it is the socket's owner for certain:
//  - connect: the process that called connect() (or a fast-open send);
//  - listen: the process that called listen();
//  - accept: the process whose accept call returned the socket, seen at
//    the exit of the kernel's accept function where the kernel allows
//    programs there, or at the exit of the accept and accept4 system calls
//    when the caller asks (accept_at_syscall_exit), which leaves out
//    io_uring's accepts: those sockets take their owner from their close;
//  - first send or receive: elsewhere, the process whose send or receive
//    call on an accepted socket came first (the accepting process, or one
//    it handed the socket to), and before any such call:
//  - listener: the owner of the listening socket it came from, which a
//    close call on the socket replaces;
//  - snapshot: for sockets open when the stream started, the process that
//    held the socket then (the lowest-numbered one when several did);
//  - close: for a socket without an owner so far (open before the stream
//    and held by no process the reader can see, or accepted by no one),
//    the process whose call on the socket began its close.
// Never from whatever process happens to be running when a state change
// is handled in the kernel's interrupt context: an accepted connection's
// handshake, for one, runs in the client's process on loopback. A socket
// passed to another process (SCM_RIGHTS, fork) keeps the owner that made
// it; closer_pid names the process whose call began the close when that
// is known, which may differ. Process ids are those of the PID namespace
// of the process that opened the stream; a process it can't see has id 0.
// A state change runs in a call on the socket exactly when the socket's
// lock is held: softirq work on a socket that a task holds waits for the
// task and then runs in it.
//
// Errors: a failed Result with the errno of what failed (core/result.h);
// no exception leaves these functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/connection_events.h"
#include "core/result.h"

namespace sockscope_detail {

struct ConnectionStreamOptions {
    // Also a record when a connection opens: when connect() completes, when
    // accept returns it, when a socket starts listening.
    bool report_opens = false;
    // Bytes of kernel memory for records waiting to be read (rounded up to
    // a power of two pages); 0: 2 MiB. Records are 208 bytes there.
    std::size_t buffer_bytes = 0;
    // Sockets followed at once (kernel memory: about 200 bytes each,
    // allocated when the stream opens); 0: 32768. A socket that opens while
    // the table is full is counted (untracked) and its close record names
    // no owner unless its closing call does.
    std::uint32_t tracked_sockets = 0;
    // Where the kernel refuses programs at its accept function's exit: see
    // accepts at the exit of every system call instead of at the accepted
    // socket's first send or receive. Exact, but every system call of every
    // process on the machine then runs a program (a getppid() loop ran 1.5
    // times slower here), sockets or not.
    bool accept_at_syscall_exit = false;
};

struct ConnectionStream;

// Opens a stream: loads the program, attaches it, and takes the snapshot of
// the sockets open now. Takes CAP_BPF with CAP_PERFMON, or CAP_SYS_ADMIN,
// in the initial user namespace.
// The stream, to be closed with close_connection_stream; a failure: EPERM
// without that privilege (or a kernel that refuses the program to it);
// ENOTSUP when the library was built without BPF support, libbpf.so.1 is
// missing, or the kernel has no BTF; EINVAL for options out of range
// (buffer_bytes above 1 GiB, tracked_sockets above 4194304); otherwise the
// errno of the step that failed (ENOMEM, EMFILE ...). A failed open leaves
// nothing behind.
Result<ConnectionStream*> open_connection_stream(const ConnectionStreamOptions& options) noexcept;

// The descriptor to wait on: readable while records wait. Owned by the
// stream: don't close it. Close-on-exec. EINVAL when stream is null.
Result<int> connection_stream_fd(const ConnectionStream* stream) noexcept;

// Moves up to `capacity` waiting records into `records`, oldest first, and
// sets *lost to the number of records lost (see above) since the previous
// read. Returns how many were moved (0 when none wait); never blocks.
// EINVAL when stream or lost is null, or records is null with a capacity.
// One thread at a time per stream.
Result<std::size_t> read_connection_records(ConnectionStream* stream, ConnectionRecord* records,
                                            std::size_t capacity, std::uint64_t* lost) noexcept;

// Detaches the program and frees the stream; records not read are gone.
// Null does nothing.
void close_connection_stream(ConnectionStream* stream) noexcept;

// For debugging: which kernel hooks the stream uses, and its counters.
struct ConnectionStreamDebug {
    const char* state_hook;  // "tp_btf/inet_sock_set_state"
    const char* accept_hook; // "fexit/inet_csk_accept"; where the kernel refused that,
                             // "tp_btf/sys_exit" when asked (accept and accept4 only),
                             // else "tp_btf/sock_send_length+sock_recv_length", or
                             // "none" where the kernel has neither (listener's owner)
    int accept_function_refused; // errno the kernel refused the fexit program with; 0 if used
    bool loaded_by_libbpf;       // loaded libbpf's way, which reads the kernel's BTF
                                 // (see connections_loader.h): slower, same programs
    std::uint64_t lost;          // records lost since the stream opened, of which
    std::uint64_t lost_for_room; //   dropped when the buffer was full,
    std::uint64_t lost_unseen;   //   state changes no program saw
    std::uint64_t untracked;     // sockets the table had no room for since then
};

// EINVAL when stream is null.
Result<ConnectionStreamDebug> connection_stream_debug(const ConnectionStream* stream) noexcept;

} // namespace sockscope_detail

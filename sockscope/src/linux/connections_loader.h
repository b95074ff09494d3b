// SPDX-License-Identifier: MIT
// Loads the connection stream's BPF object (bpf/connections.bpf.c) into the
// kernel: against the kernel's types the library read itself where it can,
// libbpf's own way otherwise (kernel_typed_loader.h).
#pragma once

#include <cstdint>

#include "core/result.h"
#include "linux/kernel_btf.h"
#include "linux/libbpf_library.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

// Where accepted sockets meet the process that accepts them.
enum class AcceptHook {
    function, // the exit of the accept path's function (fexit)
    syscall,  // the exit of every system call, filtered to accept and accept4
    calls,    // the socket's first send or receive (where the kernel has those
              // tracepoints; elsewhere no program: the listener's owner stands)
};

struct ConnectionsLoad {
    AcceptHook accept = AcceptHook::function;
    bool first_calls_traced = false; // the kernel has the send and receive tracepoints
    std::uint32_t ring_bytes = 0;      // the events ring buffer's size
    std::uint32_t tracked_sockets = 0; // the socket table's
};

// The object, loaded (programs verified, maps made, nothing attached), to
// be closed by the caller; the errno the kernel refused it with (never one
// of libbpf's own codes, which are no errno values). Sets
// `by_libbpf` when it was loaded libbpf's way.
Result<bpf_object*> load_connections(const LibbpfFunctions& f, const KernelBtf& kernel, const ConnectionsLoad& load,
                                     bool& by_libbpf) noexcept;

// The same, loaded libbpf's way only (which load_connections falls back
// to); for comparing the two.
Result<bpf_object*> load_connections_by_names(const LibbpfFunctions& f, const ConnectionsLoad& load) noexcept;

// Attaches a loaded program of the object to its hook: the link's
// descriptor (closing it detaches), or the errno of the refusal.
Result<UniqueFd> attach_connections_program(const LibbpfFunctions& f, const bpf_program* program) noexcept;

// Whether the kernel lets this process attach programs to function exits,
// asked with a program that does nothing, for the exit of the accept path's
// function: 0, or the errno it refused with. Far cheaper to be refused than
// the whole object; the answer is kept for the life of the process (a
// refusal for want of memory or descriptors only makes its streams use the
// system-call exit).
int function_exits_refused(const LibbpfFunctions& f, const KernelBtf& kernel) noexcept;

// Whether the kernel has the tracepoints of socket send and receive calls
// (sock_send_length, sock_recv_length: Linux 6.3 on).
bool first_calls_traced(const KernelBtf& kernel) noexcept;

} // namespace sockscope_detail

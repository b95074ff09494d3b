// SPDX-License-Identifier: MIT
// The socket holders BPF program (bpf/socket_holders.bpf.c), loaded into
// the kernel and attached as an iterator. Each read creates a fresh
// iterator from the attachment and reads the program's records to the end.
#pragma once

#include <memory>

#include "core/result.h"
#include "core/socket_owners.h"
#include "linux/libbpf_library.h"

namespace sockscope_detail {

class SocketHoldersIterator {
public:
    // Opens libbpf from `libbpf` (see LibbpfLibrary::open), then loads and
    // attaches the program, with libbpf's messages silenced meanwhile. A
    // failed load (the errno of the step that failed) leaves no
    // descriptor, memory or library behind.
    static Result<std::unique_ptr<SocketHoldersIterator>> load(const char* libbpf) noexcept;

    // Detaches the program, which unloads it, then closes libbpf.
    ~SocketHoldersIterator();
    SocketHoldersIterator(const SocketHoldersIterator&) = delete;
    SocketHoldersIterator& operator=(const SocketHoldersIterator&) = delete;

    // One pass over the file tables of the caller's PID namespace; a
    // failure when the kernel refuses (its errno) or the output is not
    // whole records (EPROTO). Safe to call from several threads at once.
    // Throws only std::bad_alloc.
    Result<SocketHolders> read() const;

private:
    SocketHoldersIterator(std::unique_ptr<LibbpfLibrary> libbpf, bpf_link* link)
        : libbpf_(std::move(libbpf)), link_(link) {}

    std::unique_ptr<LibbpfLibrary> libbpf_;
    bpf_link* link_; // the attached program: one descriptor, close-on-exec
};

} // namespace sockscope_detail

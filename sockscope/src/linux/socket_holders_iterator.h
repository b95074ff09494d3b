// SPDX-License-Identifier: MIT
// The socket holders BPF program (bpf/socket_holders.bpf.c), loaded into
// the kernel and attached as an iterator. Each read creates a fresh
// iterator from the attachment and reads the program's records to the end.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "linux/bpf_socket_holders.h"
#include "linux/libbpf_library.h"

namespace sockscope_detail {

class SocketHoldersIterator {
public:
    // Opens libbpf from `libbpf` (see LibbpfLibrary::open), then loads and
    // attaches the program, with libbpf's messages silenced meanwhile.
    // Null when any step fails; a failed load leaves no descriptor, memory
    // or library behind.
    static std::unique_ptr<SocketHoldersIterator> load(const char* libbpf) noexcept;

    // Detaches the program, which unloads it, then closes libbpf.
    ~SocketHoldersIterator();
    SocketHoldersIterator(const SocketHoldersIterator&) = delete;
    SocketHoldersIterator& operator=(const SocketHoldersIterator&) = delete;

    // One pass over the file tables of the caller's PID namespace; nullopt
    // when the kernel refuses or the output is not whole records. Safe to
    // call from several threads at once. Throws only std::bad_alloc.
    std::optional<SocketHolders> read() const;

private:
    SocketHoldersIterator(std::unique_ptr<LibbpfLibrary> libbpf, bpf_link* link)
        : libbpf_(std::move(libbpf)), link_(link) {}

    std::unique_ptr<LibbpfLibrary> libbpf_;
    bpf_link* link_; // the attached program: one descriptor, close-on-exec
};

} // namespace sockscope_detail

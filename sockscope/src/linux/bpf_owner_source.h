// SPDX-License-Identifier: MIT
// Owners from the BPF iterator (bpf_socket_holders.h): every socket
// descriptor of the machine in one read, started on a thread of its own
// while the table is read. When the iterator can't answer, find_owners
// says so and offers nothing; the caller chooses what then
// (api/owner_sources.h).
#pragma once

#include <cstdint>
#include <exception>
#include <optional>

#include "core/owner_source.h"
#include "linux/library_thread.h"

namespace sockscope_detail {

class BpfOwnerSource final : public OwnerSource {
public:
    // Every process's holders, or only `only_process`'s when it is not 0;
    // read on a thread of its own from start() on when `in_background`.
    BpfOwnerSource(std::uint32_t only_process, bool in_background)
        : only_process_(only_process), in_background_(in_background) {}
    ~BpfOwnerSource() override;
    BpfOwnerSource(const BpfOwnerSource&) = delete;
    BpfOwnerSource& operator=(const BpfOwnerSource&) = delete;

    void start() override;
    Result<void> find_owners(SocketOwners& owners) override;

private:
    void read();

    const std::uint32_t only_process_;
    const bool in_background_;
    std::optional<Result<SocketHolders>> holders_; // once read
    std::exception_ptr exception_;
    LibraryThread reader_;
};

} // namespace sockscope_detail

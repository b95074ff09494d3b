// SPDX-License-Identifier: MIT
// Owners from the BPF iterator (bpf_socket_holders.h): every socket
// descriptor of the machine in one read, started on a thread of its own
// while the table is read. When the iterator can't answer after all, the
// /proc scan takes over.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "linux/bpf_socket_holders.h"
#include "api/owner_sources.h"
#include "linux/proc_fs.h"
#include "core/owner_source.h"

namespace sockscope_detail {

class BpfOwnerSource final : public OwnerSource {
public:
    // Every process's holdings, or only `only_process`'s when it is not 0.
    BpfOwnerSource(const ProcRoot& root, std::uint32_t only_process, const ScanPlan& plan)
        : root_(root), only_process_(only_process), plan_(plan) {}
    ~BpfOwnerSource() override;
    BpfOwnerSource(const BpfOwnerSource&) = delete;
    BpfOwnerSource& operator=(const BpfOwnerSource&) = delete;

    void start() override;
    void find_owners(SocketOwners& owners) override;

private:
    void read();

    const ProcRoot& root_;
    const std::uint32_t only_process_;
    const ScanPlan plan_;
    bool read_ = false;
    std::optional<SocketHolders> holders_;
    std::exception_ptr failure_;
    std::thread reader_;
};

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
// Owners from /proc: every process's descriptor links, "socket:[<inode>]"
// for a socket. The way that needs no privilege: a caller sees the
// descriptors of its own user's processes (all of them as root).
//
// The processes are shared out among a few threads, which take ids in
// ascending order from one counter. Started before the table is read, the
// threads keep what they find until the table's inodes are known, then
// offer it. Once every inode has an owner the scan stops: every id not yet
// taken is higher than every id taken, so none of them can be a lower
// holder.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "core/owner_source.h"
#include "linux/proc_fs.h"

namespace sockscope_detail {

// The plan for a call with every resource it wants: at most one thread
// per online CPU, at most 8.
ScanPlan full_speed_plan();

class ProcOwnerScan final : public OwnerSource {
public:
    // Scans every process, or only `only_process` when it is not 0, on
    // `threads` threads in all (the caller's included, from find_owners on).
    ProcOwnerScan(const ProcRoot& root, std::uint32_t only_process, unsigned threads);
    ~ProcOwnerScan() override;
    ProcOwnerScan(const ProcOwnerScan&) = delete;
    ProcOwnerScan& operator=(const ProcOwnerScan&) = delete;

    void start() override;
    Result<void> find_owners(SocketOwners& owners) override;

private:
    struct Worker;
    Result<void> list_processes();
    void work(Worker& worker);
    void stop_and_join();

    const ProcRoot& root_;
    const std::uint32_t only_process_;
    const unsigned threads_;
    bool listed_ = false;
    bool sizes_are_counts_ = false;
    std::vector<std::uint32_t> ids_;
    std::atomic<std::size_t> next_{0};
    std::atomic<SocketOwners*> owners_{nullptr};
    std::atomic<bool> stop_{false};
    std::vector<std::unique_ptr<Worker>> workers_;
};

} // namespace sockscope_detail

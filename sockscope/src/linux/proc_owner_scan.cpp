// SPDX-License-Identifier: MIT
#include "linux/proc_owner_scan.h"

#include <system_error>

#include "core/failure.h"
#include "linux/directory_entries.h"
#include "linux/process_descriptors.h"
#include "linux/signals_blocked.h"

namespace sockscope_detail {

// What one thread found before the table's inodes were known, and how it
// ended.
struct ProcOwnerScan::Worker {
    std::vector<Holding> kept;
    std::exception_ptr failure;
    std::thread thread;
};

ProcOwnerScan::ProcOwnerScan(const ProcRoot& root, std::uint32_t only_process, unsigned threads)
    : root_(root), only_process_(only_process), threads_(threads == 0 ? 1 : threads) {}

ProcOwnerScan::~ProcOwnerScan() { stop_and_join(); }

void ProcOwnerScan::list_processes() {
    if (listed_) return;
    listed_ = true;
    sizes_are_counts_ = descriptor_counts_reported(root_);
    if (only_process_ != 0) {
        ids_.push_back(only_process_);
        return;
    }
    DirectoryBuffer buffer;
    ProcessIds ids(root_.fd(), buffer);
    std::uint32_t id;
    while (ids.next(id)) ids_.push_back(id);
    if (ids.error() != 0) fail(ids.error());
}

void ProcOwnerScan::start() {
    try {
        list_processes();
    } catch (const SystemFailure&) {
        // /proc can't be walked. The table may not need owners at all, so
        // the failure waits for find_owners, which walks it again.
        listed_ = false;
        ids_.clear();
        return;
    }
    workers_.reserve(threads_); // so that nothing below throws with a thread running
    const SignalsBlocked blocked;
    // The caller reads the table meanwhile and joins in afterwards.
    for (unsigned i = 1; i < threads_; ++i) {
        auto worker = std::make_unique<Worker>();
        try {
            worker->thread = std::thread([this, w = worker.get()] { work(*w); });
        } catch (const std::system_error&) {
            break; // no thread to be had: fewer of them do the work
        }
        workers_.push_back(std::move(worker));
    }
}

void ProcOwnerScan::work(Worker& worker) {
    try {
        DirectoryBuffer buffer;
        DescriptorScan scan(root_, buffer, [this, &worker](const Holding& holding) {
            if (SocketOwners* owners = owners_.load(std::memory_order_acquire)) owners->offer(holding);
            else worker.kept.push_back(holding);
        });
        while (!stop_.load(std::memory_order_relaxed)) {
            SocketOwners* owners = owners_.load(std::memory_order_acquire);
            if (owners != nullptr) {
                for (const Holding& holding : worker.kept) owners->offer(holding);
                worker.kept.clear();
                if (owners->all_owned()) break;
            }
            const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
            if (index >= ids_.size()) break;
            scan.scan(ids_[index], sizes_are_counts_);
        }
    } catch (...) {
        worker.failure = std::current_exception();
        stop_.store(true, std::memory_order_relaxed); // the call fails: no point going on
    }
}

void ProcOwnerScan::stop_and_join() {
    stop_.store(true, std::memory_order_relaxed);
    for (auto& worker : workers_)
        if (worker->thread.joinable()) worker->thread.join();
}

void ProcOwnerScan::find_owners(SocketOwners& owners) {
    list_processes();
    owners_.store(&owners, std::memory_order_release);
    Worker caller;
    work(caller);
    for (auto& worker : workers_) {
        if (worker->thread.joinable()) worker->thread.join();
        // A thread that ran out of ids before the inodes were known kept
        // all it found.
        for (const Holding& holding : worker->kept) owners.offer(holding);
        if (worker->failure) std::rethrow_exception(worker->failure);
    }
    if (caller.failure) std::rethrow_exception(caller.failure);
}

} // namespace sockscope_detail

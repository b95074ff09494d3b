// SPDX-License-Identifier: MIT
#include "linux/proc_owner_scan.h"

#include <algorithm>
#include <system_error>
#include <unistd.h>

#include "linux/directory_entries.h"
#include "linux/library_thread.h"
#include "linux/process_descriptors.h"

namespace sockscope_detail {

ScanPlan full_speed_plan() {
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    return {static_cast<unsigned>(std::clamp<long>(cpus, 1, 8))};
}

// What one thread found before the table's inodes were known, and how it
// ended: the failure of its scan, or the exception (no memory) it met.
struct ProcOwnerScan::Worker {
    std::vector<SocketHolder> kept;
    std::uint32_t refused = 0; // processes that refused us their descriptors
    Result<void> result;
    std::exception_ptr exception;
    LibraryThread thread;
};

ProcOwnerScan::ProcOwnerScan(const ProcRoot& root, std::uint32_t only_process, unsigned threads)
    : root_(root), only_process_(only_process), threads_(threads == 0 ? 1 : threads) {}

ProcOwnerScan::~ProcOwnerScan() { stop_and_join(); }

Result<void> ProcOwnerScan::list_processes() {
    if (listed_) return {};
    const Result<int> root = root_.fd();
    if (!root) return root.failure();
    sizes_are_counts_ = descriptor_counts_reported(*root);
    if (only_process_ != 0) {
        ids_.assign(1, only_process_);
    } else {
        DirectoryBuffer buffer;
        ProcessIds ids(*root, buffer);
        std::uint32_t id;
        for (;;) {
            const Result<bool> more = ids.next(id);
            if (!more) {
                ids_.clear();
                return more.failure();
            }
            if (!*more) break;
            ids_.push_back(id);
        }
    }
    listed_ = true;
    return {};
}

void ProcOwnerScan::start() {
    // When /proc can't be walked, the table may not need owners at all:
    // the failure waits for find_owners, which walks it again.
    if (!list_processes()) return;
    workers_.reserve(threads_); // so that nothing below throws with a thread running
    // The caller reads the table meanwhile and joins in afterwards.
    for (unsigned i = 1; i < threads_; ++i) {
        auto worker = std::make_unique<Worker>();
        try {
            worker->thread = LibraryThread([this, w = worker.get()] { work(*w); });
        } catch (const std::system_error&) {
            break; // no thread to be had: fewer of them do the work
        }
        workers_.push_back(std::move(worker));
    }
}

void ProcOwnerScan::work(Worker& worker) {
    try {
        DirectoryBuffer buffer;
        DescriptorScan scan(*root_.fd(), buffer, [this, &worker](const SocketHolder& holder) {
            if (SocketOwners* owners = owners_.load(std::memory_order_acquire)) owners->offer(holder);
            else worker.kept.push_back(holder);
        });
        while (!stop_.load(std::memory_order_relaxed)) {
            SocketOwners* owners = owners_.load(std::memory_order_acquire);
            if (owners != nullptr) {
                for (const SocketHolder& holder : worker.kept) owners->offer(holder);
                worker.kept.clear();
                if (owners->all_owned()) break;
            }
            const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
            if (index >= ids_.size()) break;
            worker.result = scan.scan(ids_[index], sizes_are_counts_);
            if (!worker.result) break;
        }
        worker.refused = scan.refused();
    } catch (...) {
        worker.exception = std::current_exception();
    }
    if (!worker.result || worker.exception) stop_.store(true, std::memory_order_relaxed); // the call fails
}

void ProcOwnerScan::stop_and_join() {
    stop_.store(true, std::memory_order_relaxed);
    for (auto& worker : workers_)
        if (worker->thread.joinable()) worker->thread.join();
}

Result<void> ProcOwnerScan::find_owners(SocketOwners& owners) {
    if (const Result<void> listed = list_processes(); !listed) return listed;
    owners_.store(&owners, std::memory_order_release);
    Worker caller;
    work(caller);
    owners.note_unreadable_processes(caller.refused);
    Result<void> result = caller.result;
    std::exception_ptr exception = caller.exception;
    for (auto& worker : workers_) {
        if (worker->thread.joinable()) worker->thread.join();
        // A thread that ran out of ids before the inodes were known kept
        // all it found.
        for (const SocketHolder& holder : worker->kept) owners.offer(holder);
        owners.note_unreadable_processes(worker->refused);
        if (result && !worker->result) result = worker->result;
        if (!exception) exception = worker->exception;
    }
    if (exception) std::rethrow_exception(exception);
    return result;
}

} // namespace sockscope_detail

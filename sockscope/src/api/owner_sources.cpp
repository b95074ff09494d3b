// SPDX-License-Identifier: MIT
#include "api/owner_sources.h"

#include <atomic>
#include <fcntl.h>
#include <string>

#include "core/open_files.h"
#include "linux/bpf_owner_source.h"
#include "linux/bpf_socket_holders.h"
#include "linux/file_reader.h"
#include "linux/proc_owner_scan.h"

namespace sockscope_detail {
namespace {

Result<std::uint64_t> read_open_files(const SystemSources& sources) {
    std::string contents;
    const std::string path = std::string(sources.proc_root) + "/sys/fs/file-nr";
    if (const Result<void> read = read_file_at(AT_FDCWD, path.c_str(), contents, 256); !read) return read.failure();
    return parse_open_files(contents);
}

// The iterator, and the /proc scan where it can't answer.
class IteratorOrScan final : public OwnerSource {
public:
    IteratorOrScan(const ProcRoot& root, std::uint32_t only_process, const ScanPlan& plan)
        : root_(root), only_process_(only_process), plan_(plan), iterator_(only_process, plan.threads > 1) {}

    void start() override { iterator_.start(); }

    Result<void> find_owners(SocketOwners& owners) override {
        if (iterator_.find_owners(owners)) return {};
        return ProcOwnerScan(root_, only_process_, plan_.threads).find_owners(owners);
    }

private:
    const ProcRoot& root_;
    const std::uint32_t only_process_;
    const ScanPlan plan_;
    BpfOwnerSource iterator_;
};

} // namespace

OwnerPath choose_owner_path(const OwnerPathFacts& facts) {
    if (facts.wanted == OwnerScan::proc || !facts.iterator_may_answer || !facts.proc_numbers_as_caller)
        return OwnerPath::proc_scan;
    if (facts.iterator_loaded || !facts.first_call) return OwnerPath::iterator;
    return facts.open_files >= facts.iterator_on_first_call_from ? OwnerPath::iterator : OwnerPath::proc_scan;
}

OwnerPathFacts owner_path_facts(const SystemSources& sources, const ProcRoot& root) {
    // Whether this process asked for owners before: the one thing about a
    // call that outlives it, and only to choose the way the next call goes.
    static std::atomic<bool> asked_before{false};
    OwnerPathFacts facts;
    facts.wanted = sources.owners;
    if (facts.wanted != OwnerScan::automatic) return facts;
    facts.iterator_may_answer = socket_holders_may_be_read();
    facts.iterator_loaded = socket_holders_loaded();
    facts.proc_numbers_as_caller = root.numbers_as_caller();
    facts.first_call = !asked_before.exchange(true, std::memory_order_acq_rel);
    facts.iterator_on_first_call_from = sources.iterator_on_first_call_from;
    if (facts.first_call && !facts.iterator_loaded && facts.iterator_may_answer) {
        const Result<std::uint64_t> open = read_open_files(sources);
        facts.open_files = open ? *open : 0;
    }
    return facts;
}

std::unique_ptr<OwnerSource> make_owner_source(const ProcRoot& root, std::uint32_t only_process,
                                               const SystemSources& sources, const ScanPlan& plan) {
    if (choose_owner_path(owner_path_facts(sources, root)) == OwnerPath::iterator)
        return std::make_unique<IteratorOrScan>(root, only_process, plan);
    return std::make_unique<ProcOwnerScan>(root, only_process, plan.threads);
}

} // namespace sockscope_detail

#include "socket_owners.h"

#include <algorithm>

namespace sockscope_detail {

SocketOwners::SocketOwners(const std::vector<SocketRow>& rows) {
    inodes_.reserve(rows.size());
    for (const SocketRow& row : rows)
        if (row.inode != 0) inodes_.push_back(row.inode);
    std::sort(inodes_.begin(), inodes_.end());
    inodes_.erase(std::unique(inodes_.begin(), inodes_.end()), inodes_.end());
    holders_ = std::make_unique<std::atomic<std::uint64_t>[]>(inodes_.size());
    for (std::size_t i = 0; i < inodes_.size(); ++i) holders_[i].store(none, std::memory_order_relaxed);
    unowned_.store(inodes_.size(), std::memory_order_release);
}

std::ptrdiff_t SocketOwners::index_of(std::uint64_t inode) const {
    const auto it = std::lower_bound(inodes_.begin(), inodes_.end(), inode);
    return it != inodes_.end() && *it == inode ? it - inodes_.begin() : -1;
}

void SocketOwners::offer(const Holding& holding) {
    const std::ptrdiff_t index = index_of(holding.inode);
    if (index < 0 || holding.process == 0) return;
    std::atomic<std::uint64_t>& holder = holders_[static_cast<std::size_t>(index)];
    const std::uint64_t offered = pack(holding.process, holding.fd);
    std::uint64_t current = holder.load(std::memory_order_relaxed);
    while ((current >> 32) > holding.process) { // `none` is above every id
        if (holder.compare_exchange_weak(current, offered, std::memory_order_acq_rel)) {
            if (current == none) unowned_.fetch_sub(1, std::memory_order_acq_rel);
            return;
        }
    }
}

std::uint32_t SocketOwners::owner_of(std::uint64_t inode) const {
    const std::ptrdiff_t index = index_of(inode);
    if (index < 0) return 0;
    const std::uint64_t holder = holders_[static_cast<std::size_t>(index)].load(std::memory_order_acquire);
    return holder == none ? 0 : static_cast<std::uint32_t>(holder >> 32);
}

std::vector<Holding> SocketOwners::owner_holdings() const {
    std::vector<Holding> holdings;
    for (std::size_t i = 0; i < inodes_.size(); ++i) {
        const std::uint64_t holder = holders_[i].load(std::memory_order_acquire);
        if (holder != none)
            holdings.push_back({inodes_[i], static_cast<std::uint32_t>(holder >> 32), static_cast<std::uint32_t>(holder)});
    }
    std::sort(holdings.begin(), holdings.end(),
              [](const Holding& a, const Holding& b) { return a.process < b.process; });
    holdings.erase(std::unique(holdings.begin(), holdings.end(),
                               [](const Holding& a, const Holding& b) { return a.process == b.process; }),
                   holdings.end());
    return holdings;
}

void SocketOwners::apply(std::vector<SocketRow>& rows) const {
    for (SocketRow& row : rows) row.owner = row.inode == 0 ? 0 : owner_of(row.inode);
}

const std::string* OwnerNames::find(std::uint32_t process) const {
    const auto it = std::lower_bound(names_.begin(), names_.end(), process,
                                     [](const auto& entry, std::uint32_t key) { return entry.first < key; });
    return it != names_.end() && it->first == process ? &it->second : nullptr;
}

} // namespace sockscope_detail

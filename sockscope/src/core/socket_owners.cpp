// SPDX-License-Identifier: MIT
#include "core/socket_owners.h"

#include <algorithm>
#include <tuple>
#include <unordered_map>

namespace sockscope_detail {

namespace {

std::size_t slot_of(std::uint64_t inode, std::size_t mask) {
    return static_cast<std::size_t>((inode * 0x9E3779B97F4A7C15ull) >> 17) & mask;
}

} // namespace

SocketOwners::SocketOwners(std::span<const SocketRow> rows, bool every_holder) : every_holder_(every_holder) {
    std::size_t slots = 16;
    while (slots < 2 * rows.size()) slots *= 2;
    slots_.assign(slots, 0);
    mask_ = slots - 1;
    inodes_.reserve(rows.size());
    for (const SocketRow& row : rows) {
        if (row.inode == 0) continue;
        std::size_t slot = slot_of(row.inode, mask_);
        while (slots_[slot] != 0 && inodes_[slots_[slot] - 1] != row.inode) slot = (slot + 1) & mask_;
        if (slots_[slot] != 0) continue; // a second row of the same socket
        inodes_.push_back(row.inode);
        slots_[slot] = static_cast<std::uint32_t>(inodes_.size());
    }
    holders_ = std::make_unique<std::atomic<std::uint64_t>[]>(inodes_.size());
    for (std::size_t i = 0; i < inodes_.size(); ++i) holders_[i].store(none, std::memory_order_relaxed);
    unowned_.store(inodes_.size(), std::memory_order_release);
}

std::ptrdiff_t SocketOwners::index_of(std::uint64_t inode) const {
    for (std::size_t slot = slot_of(inode, mask_);; slot = (slot + 1) & mask_) {
        const std::uint32_t entry = slots_[slot];
        if (entry == 0) return -1;
        if (inodes_[entry - 1] == inode) return static_cast<std::ptrdiff_t>(entry) - 1;
    }
}

void SocketOwners::offer(const SocketHolder& holder) {
    const std::ptrdiff_t index = index_of(holder.inode);
    if (index < 0 || holder.process == 0) return;
    std::atomic<std::uint64_t>& owner = holders_[static_cast<std::size_t>(index)];
    const std::uint64_t offered = pack(holder.process, holder.fd);
    std::uint64_t current = owner.load(std::memory_order_relaxed);
    for (;;) {
        if (current == offered) return; // offered again (threads of one process share their descriptors)
        if (current < offered) { // `none` is above every holder
            if (every_holder_) keep_other(holder.inode, offered);
            return;
        }
        if (owner.compare_exchange_weak(current, offered, std::memory_order_acq_rel)) {
            if (current == none) unowned_.fetch_sub(1, std::memory_order_acq_rel);
            else if (every_holder_) keep_other(holder.inode, current);
            return;
        }
    }
}

void SocketOwners::keep_other(std::uint64_t inode, std::uint64_t packed) {
    const std::lock_guard<std::mutex> lock(others_lock_);
    others_.push_back(SocketHolder{inode, static_cast<std::uint32_t>(packed >> 32), static_cast<std::uint32_t>(packed)});
}

std::uint32_t SocketOwners::owner_of(std::uint64_t inode) const {
    const std::ptrdiff_t index = index_of(inode);
    if (index < 0) return 0;
    const std::uint64_t holder = holders_[static_cast<std::size_t>(index)].load(std::memory_order_acquire);
    return holder == none ? 0 : static_cast<std::uint32_t>(holder >> 32);
}

std::vector<SocketHolder> SocketOwners::holder_of_each_owner() const {
    // Owners are few and sockets many: one holder per owner is kept as the
    // sockets are walked.
    std::unordered_map<std::uint32_t, SocketHolder> first_holding;
    {
        const std::lock_guard<std::mutex> lock(others_lock_);
        for (const SocketHolder& other : others_) first_holding.try_emplace(other.process, other);
    }
    std::uint32_t previous = 0;
    for (std::size_t i = 0; i < inodes_.size(); ++i) {
        const std::uint64_t holder = holders_[i].load(std::memory_order_acquire);
        if (holder == none) continue;
        const auto process = static_cast<std::uint32_t>(holder >> 32);
        if (process == previous) continue; // rows of one owner often come together
        previous = process;
        first_holding.try_emplace(process, SocketHolder{inodes_[i], process, static_cast<std::uint32_t>(holder)});
    }
    std::vector<SocketHolder> holdings;
    holdings.reserve(first_holding.size());
    for (const auto& [process, holding] : first_holding) holdings.push_back(holding);
    std::sort(holdings.begin(), holdings.end(),
              [](const SocketHolder& a, const SocketHolder& b) { return a.process < b.process; });
    return holdings;
}

std::vector<SocketHolder> SocketOwners::every_holder() const {
    std::vector<SocketHolder> all;
    if (!every_holder_) return all;
    {
        // Room for every holder at once: grown by doubling, a large table's
        // list would copy itself and hold both copies for a moment.
        const std::lock_guard<std::mutex> lock(others_lock_);
        all.reserve(others_.size() + inodes_.size());
        all = others_;
    }
    for (std::size_t i = 0; i < inodes_.size(); ++i) {
        const std::uint64_t owner = holders_[i].load(std::memory_order_acquire);
        if (owner != none) all.push_back({inodes_[i], static_cast<std::uint32_t>(owner >> 32), static_cast<std::uint32_t>(owner)});
    }
    const auto key = [](const SocketHolder& h) { return std::tie(h.inode, h.process, h.fd); };
    std::sort(all.begin(), all.end(), [&key](const SocketHolder& a, const SocketHolder& b) { return key(a) < key(b); });
    all.erase(std::unique(all.begin(), all.end(),
                          [&key](const SocketHolder& a, const SocketHolder& b) { return key(a) == key(b); }),
              all.end());
    return all;
}

void SocketOwners::apply(std::span<SocketRow> rows) const {
    for (SocketRow& row : rows) row.owner = row.inode == 0 ? 0 : owner_of(row.inode);
}

const OwnerNames::Names* OwnerNames::find_both(std::uint32_t process) const {
    const auto it = std::lower_bound(names_.begin(), names_.end(), process,
                                     [](const auto& entry, std::uint32_t key) { return entry.first < key; });
    return it != names_.end() && it->first == process ? &it->second : nullptr;
}

const std::string* OwnerNames::find(std::uint32_t process) const {
    const Names* names = find_both(process);
    return names != nullptr ? &names->name : nullptr;
}

} // namespace sockscope_detail

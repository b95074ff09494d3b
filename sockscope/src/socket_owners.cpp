#include "socket_owners.h"

#include <algorithm>

namespace sockscope_detail {

SocketOwners::SocketOwners(const std::vector<SocketRow>& rows) {
    entries_.reserve(rows.size());
    for (const SocketRow& row : rows)
        if (row.inode != 0) entries_.push_back({row.inode, 0, 0});
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.inode < b.inode; });
    entries_.erase(std::unique(entries_.begin(), entries_.end(),
                               [](const Entry& a, const Entry& b) { return a.inode == b.inode; }),
                   entries_.end());
    unowned_ = entries_.size();
}

SocketOwners::Entry* SocketOwners::find(std::uint64_t inode) {
    return const_cast<Entry*>(std::as_const(*this).find(inode));
}

const SocketOwners::Entry* SocketOwners::find(std::uint64_t inode) const {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), inode,
                                     [](const Entry& entry, std::uint64_t key) { return entry.inode < key; });
    return it != entries_.end() && it->inode == inode ? &*it : nullptr;
}

bool SocketOwners::offer(std::uint64_t inode, std::uint32_t process, std::uint32_t fd) {
    Entry* entry = find(inode);
    if (entry == nullptr || process == 0) return false;
    if (entry->owner == 0) {
        --unowned_;
    } else if (process >= entry->owner) {
        return false;
    }
    entry->owner = process;
    entry->fd = fd;
    return true;
}

void SocketOwners::merge(const SocketOwners& other) {
    for (const Entry& entry : other.entries_)
        if (entry.owner != 0) offer(entry.inode, entry.owner, entry.fd);
}

std::uint32_t SocketOwners::owner_of(std::uint64_t inode) const {
    const Entry* entry = find(inode);
    return entry == nullptr ? 0 : entry->owner;
}

std::vector<Holding> SocketOwners::owner_holdings() const {
    std::vector<Holding> holdings;
    for (const Entry& entry : entries_)
        if (entry.owner != 0) holdings.push_back({entry.owner, entry.fd, entry.inode});
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

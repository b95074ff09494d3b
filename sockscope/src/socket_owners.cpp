#include "socket_owners.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "proc_files.h"
#include "unique_fd.h"

namespace sockscope_detail {
namespace {

struct InodeOwner {
    std::uint64_t inode;
    std::uint32_t owner;
};

// The inodes of a table, sorted for binary search, each with the owner found
// so far.
class InodeOwners {
public:
    explicit InodeOwners(const std::vector<SocketRow>& rows) {
        entries_.reserve(rows.size());
        for (const SocketRow& row : rows)
            if (row.inode != 0) entries_.push_back({row.inode, 0});
        std::sort(entries_.begin(), entries_.end(),
                  [](const InodeOwner& a, const InodeOwner& b) { return a.inode < b.inode; });
        entries_.erase(std::unique(entries_.begin(), entries_.end(),
                                   [](const InodeOwner& a, const InodeOwner& b) { return a.inode == b.inode; }),
                       entries_.end());
        unowned_ = entries_.size();
    }

    bool all_owned() const { return unowned_ == 0; }

    void offer(std::uint64_t inode, std::uint32_t process) {
        InodeOwner* entry = find(inode);
        if (entry == nullptr) return;
        if (entry->owner == 0) {
            entry->owner = process;
            --unowned_;
        } else if (process < entry->owner) {
            entry->owner = process;
        }
    }

    std::uint32_t owner_of(std::uint64_t inode) {
        const InodeOwner* entry = find(inode);
        return entry == nullptr ? 0 : entry->owner;
    }

private:
    InodeOwner* find(std::uint64_t inode) {
        auto it = std::lower_bound(entries_.begin(), entries_.end(), inode,
                                   [](const InodeOwner& entry, std::uint64_t key) { return entry.inode < key; });
        return it != entries_.end() && it->inode == inode ? &*it : nullptr;
    }

    std::vector<InodeOwner> entries_;
    std::size_t unowned_ = 0;
};

// Offers every socket that process `id` holds.
void scan_descriptors(int proc_fd, std::uint32_t id, InodeOwners& owners) {
    char path[32];
    std::snprintf(path, sizeof path, "%u/fd", id);
    const UniqueFd descriptors = open_directory(proc_fd, path);
    if (!descriptors.valid()) return; // ended, or not ours to read
    DirectoryEntries entries(descriptors.get());
    std::string_view name;
    char link[64];
    while (entries.next(name)) {
        const ssize_t length = read_link_at(descriptors.get(), name.data(), link, sizeof link);
        // Refused once is refused for all of this process's descriptors.
        if (length < 0 && (errno == EACCES || errno == EPERM)) return;
        std::uint64_t inode;
        if (length > 0 && parse_socket_link({link, static_cast<std::size_t>(length)}, inode))
            owners.offer(inode, id);
    }
}

} // namespace

bool parse_socket_link(std::string_view link, std::uint64_t& inode) {
    constexpr std::string_view prefix = "socket:[";
    if (link.size() <= prefix.size() + 1 || link.substr(0, prefix.size()) != prefix || link.back() != ']')
        return false;
    const std::string_view digits = link.substr(prefix.size(), link.size() - prefix.size() - 1);
    if (digits.size() > 19) return false;
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    inode = value;
    return true;
}

void assign_owners(std::vector<SocketRow>& rows, std::uint32_t last_id) {
    InodeOwners owners(rows);
    if (owners.all_owned()) return;
    const UniqueFd proc = open_proc();
    if (!proc.valid()) return;
    // /proc lists ids in ascending order, so the first holder found is the
    // lowest; once every inode has one, the rest of /proc can't change that.
    ProcessIds ids(proc.get());
    std::uint32_t id;
    while (!owners.all_owned() && ids.next(id) && id <= last_id) scan_descriptors(proc.get(), id, owners);
    for (SocketRow& row : rows) row.owner = row.inode == 0 ? 0 : owners.owner_of(row.inode);
}

} // namespace sockscope_detail

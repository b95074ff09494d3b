#include "socket_owners.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

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

// Offers the socket behind one descriptor link; false when the process
// refuses us its links (then it refuses them all).
bool offer_link(int dirfd, const char* path, std::uint32_t id, InodeOwners& owners, bool& missing) {
    char link[64];
    const ssize_t length = read_link_at(dirfd, path, link, sizeof link);
    if (length < 0) {
        if (errno == EACCES || errno == EPERM) return false;
        missing = true;
        return true;
    }
    std::uint64_t inode;
    if (parse_socket_link({link, static_cast<std::size_t>(length)}, inode)) owners.offer(inode, id);
    return true;
}

// Offers every socket that process `id` holds, listing its descriptors.
void scan_listed_descriptors(int proc_fd, const char* fd_folder, std::uint32_t id, InodeOwners& owners) {
    const UniqueFd descriptors = open_directory(proc_fd, fd_folder);
    if (!descriptors.valid()) return; // ended, or not ours to read
    DirectoryEntries entries(descriptors.get());
    std::string_view name;
    bool missing = false;
    while (entries.next(name))
        if (!offer_link(descriptors.get(), name.data(), id, owners, missing)) return;
}

// Most processes hold a few descriptors numbered from 0 up. Since Linux 6.2
// the size of /proc/<id>/fd is the number of open descriptors: when it is
// small, their links are read by path straight away, which saves opening
// and listing the folder: about a third of what an idle process costs.
// Descriptors that turn out not to be numbered 0..n-1 are listed after all.
constexpr long direct_read_limit = 16;

void scan_descriptors(int proc_fd, std::uint32_t id, bool sizes_are_counts, InodeOwners& owners) {
    char path[48];
    const int folder_length = std::snprintf(path, sizeof path, "%u/fd", id);
    if (sizes_are_counts) {
        struct stat folder;
        if (::fstatat(proc_fd, path, &folder, 0) != 0) return; // ended
        if (folder.st_size == 0) return;                      // holds nothing: kernel threads
        if (folder.st_size <= direct_read_limit) {
            bool missing = false;
            for (long fd = 0; fd < folder.st_size && !missing; ++fd) {
                std::snprintf(path + folder_length, sizeof path - static_cast<std::size_t>(folder_length), "/%ld", fd);
                if (!offer_link(proc_fd, path, id, owners, missing)) return;
            }
            if (!missing) return;
            path[folder_length] = '\0';
        }
    }
    scan_listed_descriptors(proc_fd, path, id, owners);
}

// Whether this kernel reports descriptor counts as folder sizes: our own
// process always holds some (at least /proc itself).
bool descriptor_counts_reported(int proc_fd) {
    struct stat folder;
    return ::fstatat(proc_fd, "self/fd", &folder, 0) == 0 && folder.st_size > 0;
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
    const bool sizes_are_counts = descriptor_counts_reported(proc.get());
    ProcessIds ids(proc.get());
    std::uint32_t id;
    while (!owners.all_owned() && ids.next(id) && id <= last_id)
        scan_descriptors(proc.get(), id, sizes_are_counts, owners);
    for (SocketRow& row : rows) row.owner = row.inode == 0 ? 0 : owners.owner_of(row.inode);
}

} // namespace sockscope_detail

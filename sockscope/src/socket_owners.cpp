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

// Offers every socket behind the descriptors listed in an open folder.
void scan_listed_descriptors(int folder, std::uint32_t id, InodeOwners& owners) {
    DirectoryEntries entries(folder);
    std::string_view name;
    bool missing = false;
    while (entries.next(name))
        if (!offer_link(folder, name.data(), id, owners, missing)) return;
}

enum class Walk { complete, refused, gaps };

// Reads the links of descriptors numbered 0 upward, as `prefix` followed by
// the number relative to `dirfd`, until `count` were found. Gives up with
// `gaps` when too many numbers are missing: the caller lists the folder.
Walk scan_numbered_descriptors(int dirfd, const char* prefix, long count, std::uint32_t id, InodeOwners& owners) {
    const long slack = 8 + count / 16;
    long found = 0, misses = 0;
    char path[48];
    for (long fd = 0; found < count; ++fd) {
        std::snprintf(path, sizeof path, "%s%ld", prefix, fd);
        bool missing = false;
        if (!offer_link(dirfd, path, id, owners, missing)) return Walk::refused;
        if (!missing) {
            ++found;
        } else if (++misses > slack) {
            return Walk::gaps;
        }
    }
    return Walk::complete;
}

// Offers every socket that process `id` holds.
//
// Since Linux 6.2 the size of /proc/<id>/fd is the number of open
// descriptors. Then their links are read by number, 0 upward, which spares
// listing the folder (a tenth of a busy process's cost); a process with a
// few descriptors is read by path without even opening its folder (a third
// of an idle process's cost). Descriptors numbered with many gaps, and
// older kernels, get the folder listed.
constexpr long direct_read_limit = 16;

void scan_descriptors(int proc_fd, std::uint32_t id, bool sizes_are_counts, InodeOwners& owners) {
    char folder_path[32];
    std::snprintf(folder_path, sizeof folder_path, "%u/fd", id);
    long count = -1;
    if (sizes_are_counts) {
        struct stat folder;
        if (::fstatat(proc_fd, folder_path, &folder, 0) != 0) return; // ended
        count = folder.st_size;
        if (count == 0) return; // holds nothing: kernel threads
        if (count <= direct_read_limit) {
            char prefix[40];
            std::snprintf(prefix, sizeof prefix, "%s/", folder_path);
            if (scan_numbered_descriptors(proc_fd, prefix, count, id, owners) != Walk::gaps) return;
        }
    }
    const UniqueFd folder = open_directory(proc_fd, folder_path);
    if (!folder.valid()) return; // ended, or not ours to read
    if (count > direct_read_limit && scan_numbered_descriptors(folder.get(), "", count, id, owners) != Walk::gaps)
        return;
    scan_listed_descriptors(folder.get(), id, owners);
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

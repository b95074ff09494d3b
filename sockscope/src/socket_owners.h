// Who owns each socket of a table. The kernel's tables name a socket only by
// its inode; a process holds it through a descriptor. A socket held by
// several processes (inherited across fork, passed over a unix socket)
// belongs to the lowest id among them. Owner sources (see owner_source.h)
// offer every holder they find; this keeps the lowest.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "socket_row.h"

namespace sockscope_detail {

// One socket a process holds, and the descriptor it holds it by.
struct Holding {
    std::uint32_t process;
    std::uint32_t fd;
    std::uint64_t inode;
};

class SocketOwners {
public:
    // The inodes of `rows` (rows with inode 0 have no owner to find).
    explicit SocketOwners(const std::vector<SocketRow>& rows);

    bool all_owned() const { return unowned_ == 0; }

    // `process` holds `inode` as descriptor `fd`: it becomes the owner when
    // it is the first holder found or a lower id than the owner so far.
    // Returns whether it did. Inodes the table doesn't have are ignored.
    bool offer(std::uint64_t inode, std::uint32_t process, std::uint32_t fd);

    // Takes the owners another source found for the same rows (a scan split
    // in parts), keeping the lowest id of each inode.
    void merge(const SocketOwners& other);

    // The owner of `inode`; 0 when none was found.
    std::uint32_t owner_of(std::uint64_t inode) const;

    // One holding of every owner, by ascending process id: what its name
    // is read through (see linux/owner_names.h).
    std::vector<Holding> owner_holdings() const;

    // Sets `owner` of every row.
    void apply(std::vector<SocketRow>& rows) const;

private:
    struct Entry {
        std::uint64_t inode;
        std::uint32_t owner; // 0 while none was found
        std::uint32_t fd;
    };
    Entry* find(std::uint64_t inode);
    const Entry* find(std::uint64_t inode) const;

    std::vector<Entry> entries_; // sorted by inode, one per inode
    std::size_t unowned_ = 0;
};

// The image names of a table's owners, as the kernel's bytes.
class OwnerNames {
public:
    // Names are added in ascending id order.
    void add(std::uint32_t process, std::string name) { names_.emplace_back(process, std::move(name)); }
    // The name of `process`; null when it has none (ended, or unreadable).
    const std::string* find(std::uint32_t process) const;

private:
    std::vector<std::pair<std::uint32_t, std::string>> names_;
};

} // namespace sockscope_detail

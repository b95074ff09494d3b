// SPDX-License-Identifier: MIT
// Who owns each socket of a table. The kernel's tables name a socket only by
// its inode; a process holds it through a descriptor. A socket held by
// several processes (inherited across fork, passed over a unix socket)
// belongs to the lowest id among them. Owner sources (see owner_source.h)
// offer every holder they find, from any number of threads at once; this
// keeps the lowest.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/socket_row.h"

namespace sockscope_detail {

// One socket a process holds, and the descriptor it holds it by. (The BPF
// iterator writes these records as they are: linux/bpf/socket_holder.h.)
struct SocketHolder {
    std::uint64_t inode;   // the socket's inode, as the tables name it
    std::uint32_t process; // the holder's id, as the caller's PID namespace numbers it
    std::uint32_t fd;      // the descriptor's number in that process
};

// The holders an owner source found, in no particular order.
using SocketHolders = WorkingVector<SocketHolder>;

class SocketOwners {
public:
    // The inodes of `rows` (rows with inode 0 have no owner to find).
    explicit SocketOwners(const SocketRows& rows);

    bool all_owned() const { return unowned_.load(std::memory_order_acquire) == 0; }

    // A holder of a socket: it becomes the owner when it is the first
    // holder found or a lower id than the owner so far. Inodes the table
    // doesn't have are ignored. Safe to call from several threads at once.
    void offer(const SocketHolder& holding);

    // The owner of `inode`; 0 when none was found.
    std::uint32_t owner_of(std::uint64_t inode) const;

    // One holding of every owner, by ascending process id: what its name
    // is read through (see linux/owner_names.h).
    std::vector<SocketHolder> holder_of_each_owner() const;

    // Sets `owner` of every row.
    void apply(SocketRows& rows) const;

private:
    // An owner and its descriptor in one word, so that both change together:
    // the id in the high half, so that a lower word is a lower id.
    static std::uint64_t pack(std::uint32_t process, std::uint32_t fd) {
        return (static_cast<std::uint64_t>(process) << 32) | fd;
    }
    static constexpr std::uint64_t none = ~std::uint64_t{0};
    std::ptrdiff_t index_of(std::uint64_t inode) const;

    WorkingVector<std::uint64_t> inodes_;                   // one per inode, in the rows' order
    std::unique_ptr<std::atomic<std::uint64_t>[]> holders_; // by the same index; `none` while unowned
    // An open-addressing hash of inodes_: slot -> index + 1 (0: empty), a
    // power of two at least twice the inodes, so that every offer of a
    // descriptor (one per socket descriptor on the machine) costs a probe
    // or two however large the table.
    WorkingVector<std::uint32_t> slots_;
    std::size_t mask_ = 0;
    std::atomic<std::size_t> unowned_{0};
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

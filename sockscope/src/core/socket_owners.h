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
#include <mutex>
#include <span>
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
    // The inodes of `rows` (rows with inode 0 have no owner to find). With
    // `every_holder`, every process that holds each socket is kept, not
    // only its owner, and a source finds them all (it never stops early).
    explicit SocketOwners(std::span<const SocketRow> rows, bool every_holder = false);

    bool all_owned() const { return !every_holder_ && unowned_.load(std::memory_order_acquire) == 0; }

    // A holder of a socket: it becomes the owner when it is the first
    // holder found or a lower id than the owner so far (then a lower
    // descriptor number); with every holder kept, the others are kept
    // too, each once. Inodes the table doesn't have are ignored. Safe to
    // call from several threads at once.
    void offer(const SocketHolder& holder);

    // A source says that it could not read `count` processes' descriptors
    // (not ours to read): their sockets may lack an owner.
    void note_unreadable_processes(std::uint32_t count) { unreadable_.fetch_add(count, std::memory_order_relaxed); }
    std::uint32_t unreadable_processes() const { return unreadable_.load(std::memory_order_relaxed); }

    // The owner of `inode`; 0 when none was found.
    std::uint32_t owner_of(std::uint64_t inode) const;

    // One holder of every process kept (the owners, or every holder), by
    // ascending process id: what its name is read through (see
    // linux/owner_names.h).
    std::vector<SocketHolder> holder_of_each_owner() const;

    // With every holder kept: all of them, by inode, then process id, then
    // descriptor, each once. Empty otherwise.
    std::vector<SocketHolder> every_holder() const;

    // Sets `owner` of every row.
    void apply(std::span<SocketRow> rows) const;

private:
    // An owner and its descriptor in one word, so that both change together:
    // the id in the high half, so that a lower word is a lower id.
    static std::uint64_t pack(std::uint32_t process, std::uint32_t fd) {
        return (static_cast<std::uint64_t>(process) << 32) | fd;
    }
    static constexpr std::uint64_t none = ~std::uint64_t{0};
    std::ptrdiff_t index_of(std::uint64_t inode) const;
    void keep_other(std::uint64_t inode, std::uint64_t packed);

    const bool every_holder_;
    WorkingVector<std::uint64_t> inodes_;                   // one per inode, in the rows' order
    std::unique_ptr<std::atomic<std::uint64_t>[]> holders_; // by the same index; `none` while unowned
    // An open-addressing hash of inodes_: slot -> index + 1 (0: empty), a
    // power of two at least twice the inodes, so that every offer of a
    // descriptor (one per socket descriptor on the machine) costs a probe
    // or two however large the table.
    WorkingVector<std::uint32_t> slots_;
    std::size_t mask_ = 0;
    std::atomic<std::size_t> unowned_{0};
    std::atomic<std::uint32_t> unreadable_{0};
    // The holders besides the owners, with every holder kept: few (a socket
    // shared across fork, passed on), so one lock serves them.
    mutable std::mutex others_lock_;
    std::vector<SocketHolder> others_;
};

// The names of a table's owners (or of every holder): the image name
// (image_name.h) and the kernel's 15-byte comm, as the kernel's bytes.
class OwnerNames {
public:
    struct Names {
        std::string name;
        std::string comm;
        std::string cgroup;    // when asked for; empty when not known
        std::string container; // its container's id (container_ids.h), or empty
        // An id named in a cgroup directory a user other than root owns
        // (linux/cgroup_paths.h), and that user; empty and 0 otherwise.
        std::string user_container;
        std::uint32_t container_user = 0;
    };
    // Names are added in ascending id order.
    void add(std::uint32_t process, Names names) { names_.emplace_back(process, std::move(names)); }
    // The image name of `process`; null when it has none (ended, or unreadable).
    const std::string* find(std::uint32_t process) const;
    // Both names of `process`; null when it has none.
    const Names* find_both(std::uint32_t process) const;

private:
    std::vector<std::pair<std::uint32_t, Names>> names_;
};

} // namespace sockscope_detail

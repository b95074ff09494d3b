// SPDX-License-Identifier: MIT
// Reading one process's descriptors from /proc/<id>/fd and passing on
// every socket it holds, with no allocation per descriptor.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#include "core/decimal.h"
#include "linux/directory_entries.h"
#include "linux/file_reader.h"
#include "linux/proc_fs.h"
#include "linux/process_threads.h"
#include "linux/system_call.h"
#include "core/socket_link.h"
#include "core/socket_owners.h"

namespace sockscope_detail {

// Since Linux 6.2 the size of /proc/<id>/fd is the number of open
// descriptors. Then their links are read by number, 0 upward, which spares
// listing the folder (a tenth of a busy process's cost); a process with a
// few descriptors is read by path without even opening its folder (a third
// of an idle process's cost). Descriptors numbered with many gaps, and
// older kernels, get the folder listed.
constexpr long direct_read_limit = 16;

// Reads the descriptors of one process and passes every socket it holds
// to `take` (a callable taking a SocketHolder). What goes wrong with one
// process (it ends meanwhile, refuses us its links) leaves it unknown; the
// scan fails only when the caller's own resources do (core/result.h).
template <typename Take>
class DescriptorScan {
public:
    // `root` is the open /proc root.
    DescriptorScan(int root, DirectoryBuffer& buffer, Take take) : root_(root), buffer_(buffer), take_(take) {}

    Result<void> scan(std::uint32_t id, bool sizes_are_counts) {
        id_ = id;
        const Result<Table> table = scan_table(root_, ProcessPath(id, "fd").c_str(), sizes_are_counts);
        if (!table || *table != Table::empty) return unless_read(table);
        // An empty table: a kernel thread, or a process whose main thread
        // ended while others run on (see process_threads.h).
        char thread[48], folder[52];
        const Result<bool> other = other_thread(root_, ProcessPath(id).c_str(), id, buffer_, thread);
        if (!other) return other.failure();
        if (!*other) return {};
        std::snprintf(folder, sizeof folder, "%s/fd", thread);
        return unless_read(scan_table(root_, folder, sizes_are_counts));
    }

    // How many processes so far refused us their descriptors (another
    // user's, or one holding capabilities we lack): their sockets may lack
    // an owner.
    std::uint32_t refused() const { return refused_; }

private:
    enum class Table { read, empty, unreadable };

    static bool refusal(int error) { return error == EACCES || error == EPERM; }
    enum class Walk { complete, gaps, stop };

    static Result<void> unless_read(const Result<Table>& table) {
        if (!table) return table.failure();
        return {};
    }

    // One process's trouble leaves it unknown; the caller's fails the scan.
    template <typename Value>
    static Result<Value> unless_the_callers(int error, Value otherwise) {
        if (fails_the_call(error)) return Failure{error};
        return otherwise;
    }

    Result<Table> unreadable(int error) {
        if (refusal(error)) ++refused_;
        return unless_the_callers(error, Table::unreadable);
    }

    // The descriptor table in `folder_path` (relative to `dirfd`).
    Result<Table> scan_table(int dirfd, const char* folder_path, bool sizes_are_counts) {
        long count = -1;
        if (sizes_are_counts) {
            struct stat folder;
            if (::fstatat(dirfd, folder_path, &folder, 0) != 0) return unreadable(errno);
            count = folder.st_size;
            if (count == 0) return Table::empty;
            if (count <= direct_read_limit) {
                char prefix[56];
                std::snprintf(prefix, sizeof prefix, "%s/", folder_path);
                const Result<Walk> walk = read_numbered(dirfd, prefix, count);
                if (!walk) return walk.failure();
                if (*walk != Walk::gaps) return Table::read;
            }
        }
        const int fd = retrying([&] { return ::openat(dirfd, folder_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
        if (fd < 0) return unreadable(errno);
        const UniqueFd folder(fd);
        if (count > direct_read_limit) {
            const Result<Walk> walk = read_numbered(folder.get(), "", count);
            if (!walk) return walk.failure();
            if (*walk != Walk::gaps) return Table::read;
        }
        return read_listed(folder.get());
    }

    // Takes the socket behind one descriptor link. `missing` tells that the
    // descriptor is not there; a process that refuses us its links, or
    // ended, stops the walk. A link that can't be read for a reason of its
    // own (a file whose path is longer than the kernel will show) is not a
    // socket's: socket links are short.
    Result<Walk> read_link(int dirfd, const char* path, std::uint32_t fd, bool& missing) {
        char link[64];
        const Result<std::size_t> length = read_link_at(dirfd, path, link, sizeof link);
        if (!length) {
            const int error = length.error();
            if (error == ENOENT) {
                missing = true; // a gap in the numbers, or closed meanwhile
                return Walk::complete;
            }
            if (refusal(error)) ++refused_;
            const bool process_wide = is_gone(error) || refusal(error);
            return unless_the_callers(error, process_wide ? Walk::stop : Walk::complete);
        }
        std::uint64_t inode;
        if (parse_socket_link({link, *length}, inode)) take_(SocketHolder{inode, id_, fd});
        return Walk::complete;
    }

    // Reads descriptors numbered 0 upward, as `prefix` followed by the
    // number relative to `dirfd`, until `count` were found. Gives up with
    // `gaps` when too many numbers are missing: then the folder is listed.
    Result<Walk> read_numbered(int dirfd, const char* prefix, long count) {
        const long slack = 8 + count / 16;
        long found = 0, misses = 0;
        char path[64];
        for (std::uint32_t fd = 0; found < count; ++fd) {
            std::snprintf(path, sizeof path, "%s%u", prefix, fd);
            bool missing = false;
            const Result<Walk> walk = read_link(dirfd, path, fd, missing);
            if (!walk || *walk == Walk::stop) return walk;
            if (!missing) ++found;
            else if (++misses > slack) return Walk::gaps;
        }
        return Walk::complete;
    }

    Result<Table> read_listed(int folder) {
        DirectoryEntries entries(folder, buffer_);
        std::string_view name;
        std::uint32_t fd;
        bool any = false;
        for (;;) {
            const Result<bool> more = entries.next(name);
            if (!more) return unless_the_callers(more.error(), Table::unreadable);
            if (!*more) return any ? Table::read : Table::empty;
            any = true;
            bool missing = false;
            if (!parse_number(name, fd)) continue;
            const Result<Walk> walk = read_link(folder, name.data(), fd, missing);
            if (!walk) return walk.failure();
            if (*walk == Walk::stop) return Table::read;
        }
    }

    const int root_;
    DirectoryBuffer& buffer_;
    Take take_;
    std::uint32_t id_ = 0;
    std::uint32_t refused_ = 0;
};

// Whether this kernel reports descriptor counts as folder sizes (Linux
// 6.2 and later): our own process always holds some. `root` is the open
// /proc root.
bool descriptor_counts_reported(int root);

} // namespace sockscope_detail

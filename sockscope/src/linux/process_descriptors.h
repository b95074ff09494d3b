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

enum class Walk { complete, gaps, stop };

// Reads the descriptors of one process and passes every socket it holds
// to `take` (a callable taking a Holding). Processes that end meanwhile,
// or refuse us their links, are passed over; system failures throw.
template <typename Take>
class DescriptorScan {
public:
    DescriptorScan(const ProcRoot& root, DirectoryBuffer& buffer, Take take)
        : root_(root), buffer_(buffer), take_(take) {}

    void scan(std::uint32_t id, bool sizes_are_counts) {
        id_ = id;
        if (scan_table(root_.fd(), ProcessPath(id, "fd").c_str(), sizes_are_counts) != Table::empty) return;
        // An empty table: a kernel thread, or a process whose main thread
        // ended while others run on (see process_threads.h).
        char thread[48], folder[52];
        if (!other_thread(root_.fd(), ProcessPath(id).c_str(), id, buffer_, thread)) return;
        std::snprintf(folder, sizeof folder, "%s/fd", thread);
        scan_table(root_.fd(), folder, sizes_are_counts);
    }

private:
    enum class Table { read, empty, unreadable };

    // The descriptor table in `folder_path` (relative to `dirfd`).
    Table scan_table(int dirfd, const char* folder_path, bool sizes_are_counts) {
        long count = -1;
        if (sizes_are_counts) {
            struct stat folder;
            if (::fstatat(dirfd, folder_path, &folder, 0) != 0) {
                access_after(errno); // this process is unknown, unless the caller's resources failed
                return Table::unreadable;
            }
            count = folder.st_size;
            if (count == 0) return Table::empty;
            if (count <= direct_read_limit) {
                char prefix[56];
                std::snprintf(prefix, sizeof prefix, "%s/", folder_path);
                if (read_numbered(dirfd, prefix, count) != Walk::gaps) return Table::read;
            }
        }
        int fd;
        do {
            fd = ::openat(dirfd, folder_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            access_after(errno);
            return Table::unreadable;
        }
        const UniqueFd folder(fd);
        if (count > direct_read_limit && read_numbered(folder.get(), "", count) != Walk::gaps) return Table::read;
        return read_listed(folder.get());
    }

    // Takes the socket behind one descriptor link. `missing` tells that the
    // descriptor is not there; a process that refuses us its links, or
    // ended, stops the walk. A link that can't be read for a reason of its
    // own (a file whose path is longer than the kernel will show) is not a
    // socket's: socket links are short.
    Walk read_link(int dirfd, const char* path, std::uint32_t fd, bool& missing) {
        char link[64];
        const ssize_t length = read_link_at(dirfd, path, link, sizeof link);
        if (length == -ENOENT) {
            missing = true; // a gap in the numbers, or closed meanwhile
            return Walk::complete;
        }
        if (length < 0) {
            const int error = static_cast<int>(-length);
            const bool process_wide = access_after(error) == Access::vanished || error == EACCES || error == EPERM;
            return process_wide ? Walk::stop : Walk::complete;
        }
        std::uint64_t inode;
        if (parse_socket_link({link, static_cast<std::size_t>(length)}, inode)) take_(Holding{inode, id_, fd});
        return Walk::complete;
    }

    // Reads descriptors numbered 0 upward, as `prefix` followed by the
    // number relative to `dirfd`, until `count` were found. Gives up with
    // `gaps` when too many numbers are missing: then the folder is listed.
    Walk read_numbered(int dirfd, const char* prefix, long count) {
        const long slack = 8 + count / 16;
        long found = 0, misses = 0;
        char path[64];
        for (std::uint32_t fd = 0; found < count; ++fd) {
            std::snprintf(path, sizeof path, "%s%u", prefix, fd);
            bool missing = false;
            if (read_link(dirfd, path, fd, missing) == Walk::stop) return Walk::stop;
            if (!missing) ++found;
            else if (++misses > slack) return Walk::gaps;
        }
        return Walk::complete;
    }

    Table read_listed(int folder) {
        DirectoryEntries entries(folder, buffer_);
        std::string_view name;
        std::uint32_t fd;
        bool any = false;
        while (entries.next(name)) {
            any = true;
            bool missing = false;
            if (parse_number(name, fd) && read_link(folder, name.data(), fd, missing) == Walk::stop)
                return Table::read;
        }
        if (entries.error() != 0) access_after(entries.error());
        return any ? Table::read : Table::empty;
    }

    const ProcRoot& root_;
    DirectoryBuffer& buffer_;
    Take take_;
    std::uint32_t id_ = 0;
};

// Whether this kernel reports descriptor counts as folder sizes (Linux
// 6.2 and later): our own process always holds some.
bool descriptor_counts_reported(const ProcRoot& root);

} // namespace sockscope_detail

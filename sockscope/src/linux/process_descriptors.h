// SPDX-License-Identifier: MIT
// Reading one process's descriptors from /proc/<id>/fd and passing on
// every socket it holds, with no allocation per descriptor.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

#include "decimal.h"
#include "linux/directory_entries.h"
#include "linux/file_reader.h"
#include "linux/proc_fs.h"
#include "socket_link.h"
#include "socket_owners.h"

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
        const ProcessPath folder_path(id, "fd");
        long count = -1;
        if (sizes_are_counts) {
            struct stat folder;
            if (::fstatat(root_.fd(), folder_path.c_str(), &folder, 0) != 0) {
                access_after(errno); // ended or not ours, unless the system failed
                return;
            }
            count = folder.st_size;
            if (count == 0) return; // holds nothing: kernel threads
            if (count <= direct_read_limit) {
                char prefix[sizeof(ProcessPath) + 1];
                std::snprintf(prefix, sizeof prefix, "%s/", folder_path.c_str());
                if (read_numbered(root_.fd(), prefix, count) != Walk::gaps) return;
            }
        }
        int fd;
        do {
            fd = ::openat(root_.fd(), folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            access_after(errno);
            return;
        }
        const UniqueFd folder(fd);
        if (count > direct_read_limit && read_numbered(folder.get(), "", count) != Walk::gaps) return;
        read_listed(folder.get());
    }

private:
    // Takes the socket behind one descriptor link. `missing` tells that the
    // descriptor is not there; a process that refuses us its links, or
    // ended, stops the walk.
    Walk read_link(int dirfd, const char* path, std::uint32_t fd, bool& missing) {
        char link[64];
        const ssize_t length = read_link_at(dirfd, path, link, sizeof link);
        if (length == -ENOENT) {
            missing = true; // a gap in the numbers, or closed meanwhile
            return Walk::complete;
        }
        if (length < 0) {
            access_after(static_cast<int>(-length));
            return Walk::stop;
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
        char path[sizeof(ProcessPath) + 16];
        for (std::uint32_t fd = 0; found < count; ++fd) {
            std::snprintf(path, sizeof path, "%s%u", prefix, fd);
            bool missing = false;
            if (read_link(dirfd, path, fd, missing) == Walk::stop) return Walk::stop;
            if (!missing) ++found;
            else if (++misses > slack) return Walk::gaps;
        }
        return Walk::complete;
    }

    void read_listed(int folder) {
        DirectoryEntries entries(folder, buffer_);
        std::string_view name;
        std::uint32_t fd;
        while (entries.next(name)) {
            bool missing = false;
            if (parse_number(name, fd) && read_link(folder, name.data(), fd, missing) == Walk::stop) return;
        }
        if (entries.error() != 0) access_after(entries.error());
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

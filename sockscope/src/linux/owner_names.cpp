// SPDX-License-Identifier: MIT
#include "linux/owner_names.h"

#include <cerrno>
#include <cstdio>
#include <optional>

#include "core/container_ids.h"
#include "core/socket_link.h"
#include "linux/cgroup_paths.h"
#include "linux/file_reader.h"
#include "linux/process_image.h"
#include "linux/process_threads.h"

namespace sockscope_detail {
namespace {

// Whether the process behind `process` holds `holder`'s socket still.
Result<bool> still_holds(int process, const SocketHolder& holder, DirectoryBuffer& buffer) {
    char path[64], link[64];
    std::snprintf(path, sizeof path, "fd/%u", holder.fd);
    Result<std::size_t> length = read_link_at(process, path, link, sizeof link);
    if (!length && length.error() == ENOENT) {
        // Its main thread may have ended while another holds the
        // process's descriptors.
        char thread[48];
        const Result<bool> other = other_thread(process, ".", holder.process, buffer, thread);
        if (!other) return other.failure();
        if (*other) {
            std::snprintf(path, sizeof path, "%s/fd/%u", thread, holder.fd);
            length = read_link_at(process, path, link, sizeof link);
        }
    }
    if (!length) {
        if (fails_the_call(length.error())) return length.failure();
        return false;
    }
    std::uint64_t inode;
    return parse_socket_link({link, *length}, inode) && inode == holder.inode;
}

} // namespace

Result<OwnerNames> read_owner_names(const SocketOwners& owners, const ProcRoot& root, bool cgroups) {
    const Result<int> root_fd = root.fd();
    if (!root_fd) return root_fd.failure();
    OwnerNames names;
    // The cgroup hierarchies are opened at the first path that names a
    // container, to see who made its directory: most calls meet none and
    // spend no descriptor on them.
    std::optional<CgroupPaths> hierarchies;
    ProcessImage image;
    DirectoryBuffer buffer;
    std::string cgroup;
    for (const SocketHolder& holder : owners.holder_of_each_owner()) {
        Result<UniqueFd> process = open_process(*root_fd, holder.process);
        if (!process) {
            if (fails_the_call(process.error())) return process.failure();
            continue;
        }
        const Result<bool> holds = still_holds(process->get(), holder, buffer);
        if (!holds) return holds.failure();
        if (!*holds) continue;
        const Result<std::optional<ProcessImage::Names>> found = image.names(process->get(), holder.process);
        if (!found) return found.failure();
        if (!*found) continue;
        OwnerNames::Names both{std::string((*found)->image), std::string((*found)->comm), {}, {}, {}, 0};
        if (cgroups) {
            // Whole: v1 lines come first and may be long enough to push the
            // unified line past any fixed limit.
            if (const Result<void> read = read_file_at(process->get(), "cgroup", cgroup); read) {
                bool unified;
                both.cgroup = cgroup_path(cgroup, unified);
                if (!hierarchies && !container_in(both.cgroup).id.empty()) {
                    Result<CgroupPaths> opened = CgroupPaths::open_at(*root_fd);
                    if (!opened) return opened.failure();
                    hierarchies.emplace(std::move(opened).value());
                }
                Result<PlacedContainer> container =
                    hierarchies ? hierarchies->container_of(both.cgroup, unified) : Result<PlacedContainer>(PlacedContainer{});
                if (!container) return container.failure();
                both.container = std::move(container->id);
                both.user_container = std::move(container->user_id);
                both.container_user = container->user;
            } else if (fails_the_call(read.error())) {
                return read.failure();
            }
        }
        names.add(holder.process, std::move(both));
    }
    return names;
}

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
#include "linux/owner_names.h"

#include <cerrno>
#include <cstdio>

#include "linux/file_reader.h"
#include "linux/process_image.h"
#include "linux/process_threads.h"
#include "core/socket_link.h"

namespace sockscope_detail {
namespace {

// Whether the process behind `process` holds `holding`'s socket still.
bool still_holds(int process, const Holding& holding, DirectoryBuffer& buffer) {
    char path[64], link[64];
    std::snprintf(path, sizeof path, "fd/%u", holding.fd);
    ssize_t length = read_link_at(process, path, link, sizeof link);
    char thread[48];
    if (length == -ENOENT && other_thread(process, ".", holding.process, buffer, thread)) {
        // Its main thread ended; another holds the process's descriptors.
        std::snprintf(path, sizeof path, "%s/fd/%u", thread, holding.fd);
        length = read_link_at(process, path, link, sizeof link);
    }
    if (length < 0) {
        access_after(static_cast<int>(-length)); // throws only when the caller's resources failed
        return false;
    }
    std::uint64_t inode;
    return parse_socket_link({link, static_cast<std::size_t>(length)}, inode) && inode == holding.inode;
}

} // namespace

OwnerNames read_owner_names(const SocketOwners& owners, const ProcRoot& root) {
    OwnerNames names;
    ProcessImage image;
    DirectoryBuffer buffer;
    for (const Holding& holding : owners.owner_holdings()) {
        UniqueFd process;
        if (open_process(root, holding.process, process) != Access::granted) continue;
        if (!still_holds(process.get(), holding, buffer)) continue;
        if (const auto name = image.name(process.get(), holding.process)) names.add(holding.process, std::string(*name));
    }
    return names;
}

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
#include "linux/owner_names.h"

#include <cstdio>

#include "linux/file_reader.h"
#include "linux/process_image.h"
#include "socket_link.h"

namespace sockscope_detail {
namespace {

// Whether the process behind `process` holds `holding`'s socket still.
bool still_holds(int process, const Holding& holding) {
    char path[32], link[64];
    std::snprintf(path, sizeof path, "fd/%u", holding.fd);
    const ssize_t length = read_link_at(process, path, link, sizeof link);
    if (length < 0) {
        access_after(static_cast<int>(-length)); // throws unless it ended or hides it
        return false;
    }
    std::uint64_t inode;
    return parse_socket_link({link, static_cast<std::size_t>(length)}, inode) && inode == holding.inode;
}

} // namespace

OwnerNames read_owner_names(const SocketOwners& owners, const ProcRoot& root) {
    OwnerNames names;
    ProcessImage image;
    for (const Holding& holding : owners.owner_holdings()) {
        UniqueFd process;
        if (open_process(root, holding.process, process) != Access::granted) continue;
        if (!still_holds(process.get(), holding)) continue;
        if (const auto name = image.name(process.get())) names.add(holding.process, std::string(*name));
    }
    return names;
}

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
#include "linux/socket_table_source.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <string>

#include "linux/file_reader.h"
#include "linux/netlink_dump.h"
#include "core/proc_net_parser.h"

namespace sockscope_detail {
namespace {

const char* proc_net_file(Protocol protocol, Family family) {
    if (protocol == Protocol::tcp) return family == Family::ipv4 ? "/net/tcp" : "/net/tcp6";
    return family == Family::ipv4 ? "/net/udp" : "/net/udp6";
}

// Whether the kernel lacks IPv6: /proc/net is there, but its IPv6 tables
// are not.
bool kernel_without_ipv6(Family family, const char* proc_root) {
    return family == Family::ipv6 && ::access((std::string(proc_root) + "/net/tcp").c_str(), F_OK) == 0;
}

Result<SocketRows> read_proc_net(Protocol protocol, Family family, const char* proc_root) {
    const std::string path = std::string(proc_root) + proc_net_file(protocol, family);
    std::string contents;
    SocketRows rows;
    if (const Result<void> read = read_file_at(AT_FDCWD, path.c_str(), contents); !read) {
        if (read.error() == ENOENT && kernel_without_ipv6(family, proc_root)) return rows;
        return read.failure();
    }
    if (const Result<void> parsed = parse_proc_net_table(contents, protocol, family, rows); !parsed)
        return parsed.failure();
    return rows;
}

} // namespace

Result<SocketRows> read_socket_table(Protocol protocol, Family family, const SystemSources& sources) {
    if (sources.table != TableSource::proc_net) {
        SocketRows rows;
        const Result<void> dumped = dump_with_netlink(protocol, family, rows);
        if (dumped) return rows;
        if (sources.table == TableSource::netlink) return dumped.failure();
    }
    return read_proc_net(protocol, family, sources.proc_root);
}

} // namespace sockscope_detail

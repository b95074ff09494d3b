// SPDX-License-Identifier: MIT
#include "linux/socket_table_source.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <new>
#include <string>

#include "linux/file_reader.h"
#include "linux/netlink_dump.h"
#include "core/proc_net_parser.h"
#include "core/table_size_estimate.h"

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

Result<void> read_proc_net(const TableRequest& table, const char* proc_root, SocketRows& rows) {
    const std::string path = std::string(proc_root) + proc_net_file(table.protocol, table.family);
    std::string contents;
    if (const Result<void> read = read_file_at(AT_FDCWD, path.c_str(), contents); !read) {
        if (read.error() == ENOENT && kernel_without_ipv6(table.family, proc_root)) return {};
        return read.failure();
    }
    const std::size_t kept = rows.size();
    const Result<void> parsed = parse_proc_net_table(contents, table, rows);
    if (!parsed) rows.resize(kept);
    return parsed;
}

// Room for the rows the kernel counts in the calling thread's network
// namespace, made once. Only a help: counts that can't be read, or room
// that can't be had, leave the rows to grow as they come.
void reserve_counted_rows(std::span<const TableRequest> tables, const SystemSources& sources, SocketRows& rows) {
    if (sources.table == TableSource::proc_net) return;
    const std::string net = std::string(sources.proc_root) + "/thread-self/net/";
    std::string sockstat, sockstat6;
    if (!read_file_at(AT_FDCWD, (net + "sockstat").c_str(), sockstat, 4096)) return;
    if (!read_file_at(AT_FDCWD, (net + "sockstat6").c_str(), sockstat6, 4096)) sockstat6.clear();
    const std::size_t counted = estimated_rows(sockstat, sockstat6, tables);
    // A little over: sockets made between the count and the dump.
    const std::size_t room = counted + counted / 16 + 16;
    if (room > rows.max_size() / 2 - rows.size()) return;
    try {
        rows.reserve(rows.size() + room);
    } catch (const std::bad_alloc&) {
    }
}

} // namespace

Result<void> read_socket_table(const TableRequest& table, const SystemSources& sources, SocketRows& rows) {
    if (sources.table != TableSource::proc_net) {
        const Result<void> dumped = dump_with_netlink(table, rows);
        if (dumped || sources.table == TableSource::netlink) return dumped;
    }
    return read_proc_net(table, sources.proc_root, rows);
}

Result<void> read_socket_tables(std::span<const TableRequest> tables, const SystemSources& sources,
                                SocketRows& rows, std::vector<std::size_t>& table_ends) {
    reserve_counted_rows(tables, sources, rows);
    const std::size_t kept_rows = rows.size(), kept_ends = table_ends.size();
    const auto fail = [&](const Result<void>& failed) {
        rows.resize(kept_rows);
        table_ends.resize(kept_ends);
        return failed;
    };
    for (std::size_t i = 0; i < tables.size(); ++i) {
        const bool paired = i + 1 < tables.size() && one_dump_answers(tables[i], tables[i + 1]);
        if (paired && sources.table != TableSource::proc_net) {
            const std::size_t first = rows.size();
            const Result<void> dumped = dump_with_netlink(tables[i], rows, DumpKind::tcp_both_families);
            if (dumped) {
                // IPv4's rows, then IPv6's, each in the kernel's order.
                const auto is_ipv4 = [](const SocketRow& row) { return row.family == Family::ipv4; };
                const auto from = rows.begin() + static_cast<std::ptrdiff_t>(first);
                const auto ipv6 = std::stable_partition(from, rows.end(), is_ipv4);
                table_ends.push_back(static_cast<std::size_t>(ipv6 - rows.begin()));
                table_ends.push_back(rows.size());
                ++i;
                continue;
            }
            if (fails_the_call(dumped.error())) return fail(dumped);
            // A kernel that doesn't take that request: a dump for each.
        }
        if (const Result<void> read = read_socket_table(tables[i], sources, rows); !read) return fail(read);
        table_ends.push_back(rows.size());
    }
    return {};
}

} // namespace sockscope_detail

#include "socket_table.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <tuple>
#include <unistd.h>

#include "netlink_diag.h"
#include "proc_net_parser.h"
#include "socket_owners.h"
#include "unique_fd.h"

namespace sockscope_detail {
namespace {

// The whole of a /proc file, however long: /proc/net tables are generated
// while read, so their size is unknown beforehand.
bool read_whole_file(const char* path, std::string& contents) {
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    contents.clear();
    std::size_t used = 0;
    contents.resize(64 * 1024);
    for (;;) {
        if (used == contents.size()) contents.resize(contents.size() * 2);
        const ssize_t got = ::read(fd.get(), contents.data() + used, contents.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    contents.resize(used);
    return true;
}

std::uint32_t host_address(std::uint32_t field) { return __builtin_bswap32(field); }
std::uint32_t host_port(std::uint32_t field) { return __builtin_bswap16(static_cast<std::uint16_t>(field)); }

} // namespace

std::vector<SocketRow> dump_with_proc_net(Protocol protocol, std::string_view path) {
    std::string contents;
    std::vector<SocketRow> rows;
    std::string error;
    if (!read_whole_file(std::string(path).c_str(), contents)) return rows;
    if (!parse_proc_net_table(contents, protocol, rows, error)) rows.clear();
    return rows;
}

std::vector<SocketRow> dump_table(Protocol protocol, TableSource source) {
    if (source != TableSource::proc_net) {
        if (auto rows = dump_with_netlink(protocol)) return std::move(*rows);
        if (source == TableSource::netlink) return {};
    }
    return dump_with_proc_net(protocol, protocol == Protocol::tcp ? "/proc/net/tcp" : "/proc/net/udp");
}

void sort_rows(std::vector<SocketRow>& rows, Protocol protocol) {
    const auto sort_by = [&rows](auto key) {
        std::sort(rows.begin(), rows.end(), [&key](const SocketRow& a, const SocketRow& b) { return key(a) < key(b); });
    };
    if (protocol == Protocol::tcp) {
        sort_by([](const SocketRow& row) {
            return std::make_tuple(host_address(row.local_address), host_port(row.local_port),
                                   host_address(row.remote_address), host_port(row.remote_port), row.owner, row.inode);
        });
    } else {
        sort_by([](const SocketRow& row) {
            return std::make_tuple(host_address(row.local_address), host_port(row.local_port), row.owner, row.inode);
        });
    }
}

std::vector<SocketRow> read_table(Protocol protocol, TableSource source) {
    std::vector<SocketRow> rows = dump_table(protocol, source);
    assign_owners(rows);
    sort_rows(rows, protocol);
    return rows;
}

} // namespace sockscope_detail

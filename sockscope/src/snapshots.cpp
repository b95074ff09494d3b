// The library's table members: snapshots and the loopback port lookup.
#include <sockscope/sockscope.h>

#include "conversions.h"
#include "no_exceptions.h"
#include "process_directory.h"
#include "snapshot_builder.h"
#include "socket_owners.h"
#include "socket_table.h"

using namespace sockscope_detail;

namespace {

std::uint32_t loopback_port(const char16_t* imageName) {
    // A name no process has answers 0: matching it as id 0 would pick some
    // unrelated socket whose owner is unknown.
    const std::uint32_t process = find_process_id(imageName);
    if (process == 0) return 0;

    // Only rows on a loopback-looking address can qualify, so only their
    // owners are looked for. The first nine characters are compared, so
    // 127.0.0.10-19 and 127.0.0.100-199 qualify as well.
    std::vector<SocketRow> rows = dump_table(Protocol::tcp);
    std::erase_if(rows, [](const SocketRow& row) {
        char address[16];
        dotted_quad_into(row.local_address, address);
        return bounded_compare(address, "127.0.0.1", 9) != 0;
    });
    assign_owners(rows, process);
    sort_rows(rows, Protocol::tcp);

    std::uint32_t port = 0;
    for (const SocketRow& row : rows)
        if (row.owner == process) port = port_to_host_order(row.local_port);
    return port;
}

} // namespace

// Out of memory, a snapshot is null and a lookup 0.
statTCPROW* sockscope::getstat_tcp() {
    return without_exceptions<statTCPROW*>(nullptr, [] {
        return build_tcp_snapshot(read_table(Protocol::tcp), live_process_names());
    });
}

statUDPROW* sockscope::getstat_udp() {
    return without_exceptions<statUDPROW*>(nullptr, [] {
        return build_udp_snapshot(read_table(Protocol::udp), live_process_names());
    });
}

std::uint32_t sockscope::getnetPort_gx2(const char16_t* imageName) {
    return without_exceptions<std::uint32_t>(0, [imageName] { return loopback_port(imageName); });
}

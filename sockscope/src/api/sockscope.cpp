// SPDX-License-Identifier: MIT
// The library's public members, each one road through the table pipeline
// (table_pipeline.h) or the process search (linux/process_search.h).
// Failures surface here as null or 0 with errno set (call_boundary.h).
#include <sockscope/sockscope.h>

#include "api/call_boundary.h"
#include "core/conversions.h"
#include "linux/process_search.h"
#include "core/snapshot_records.h"
#include "api/table_pipeline.h"

using namespace sockscope_detail;

namespace {

// What getnetPort_gx2 counts as loopback: a local address whose text
// starts with "127.0.0.1", so 127.0.0.10-19 and 127.0.0.100-199 as well.
bool local_text_starts_127_0_0_1(const SocketRow& row) {
    char text[16];
    dotted_quad_into(ipv4_field(row.local_address), text);
    return bounded_compare(text, "127.0.0.1", 9) == 0;
}

} // namespace

std::uint32_t sockscope::getProcessId(const char16_t* imageName) {
    return answer_or_fail<std::uint32_t>(0, [imageName] { return find_process_id(imageName, {}); });
}

std::uint32_t sockscope::getnetPort_gx2(const char16_t* imageName) {
    return answer_or_fail<std::uint32_t>(0, [imageName] {
        // A name no process has answers 0: matching it as id 0 would pick
        // some unrelated socket whose owner is unknown.
        const std::uint32_t process = find_process_id(imageName, {});
        if (process == 0) return 0u;
        TableQuery query;
        query.keep = local_text_starts_127_0_0_1;
        query.only_process = process;
        query.with_names = false;
        std::uint32_t port = 0;
        for (const SocketRow& row : read_owned_table(query).rows)
            if (row.owner == process) port = port_to_host_order(row.local_port);
        return port;
    });
}

namespace {

statTCPROW* tcp_snapshot(Family family) {
    return answer_or_fail<statTCPROW*>(nullptr, [family] {
        return make_tcp_records(read_owned_table({Protocol::tcp, family}), family);
    });
}

statUDPROW* udp_snapshot(Family family) {
    return answer_or_fail<statUDPROW*>(nullptr, [family] {
        return make_udp_records(read_owned_table({Protocol::udp, family}), family);
    });
}

} // namespace

statTCPROW* sockscope::getstat_tcp() { return tcp_snapshot(Family::ipv4); }

statUDPROW* sockscope::getstat_udp() { return udp_snapshot(Family::ipv4); }

statTCPROW* sockscope::getstat_tcp6() { return tcp_snapshot(Family::ipv6); }

statUDPROW* sockscope::getstat_udp6() { return udp_snapshot(Family::ipv6); }

void sockscope::getstat_free(statTCPROW* rows) { free_records(rows); }

void sockscope::getstat_free(statUDPROW* rows) { free_records(rows); }

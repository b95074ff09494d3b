// SPDX-License-Identifier: MIT
// The library's public members, each one road through the table pipeline
// (table_pipeline.h) or the process search (linux/process_search.h).
// Failures surface here as null or 0 with errno set (call_boundary.h).
#include <sockscope/sockscope.h>

#include <string_view>

#include "api/call_boundary.h"
#include "api/system_sources_now.h"
#include "api/table_pipeline.h"
#include "core/conversions.h"
#include "core/snapshot_records.h"
#include "linux/process_search.h"

using namespace sockscope_detail;

namespace {

// What getnetPort_gx2 counts as loopback: a local address whose text
// starts with "127.0.0.1", so 127.0.0.10-19 and 127.0.0.100-199 as well.
bool local_text_starts_127_0_0_1(const SocketRow& row) {
    char text[16];
    dotted_quad_into(ipv4_field(row.local_address), text);
    return std::string_view(text).starts_with("127.0.0.1");
}

template <typename Record, typename MakeRecords>
Record* snapshot(Protocol protocol, Family family, MakeRecords make_records) {
    return answer_or_fail<Record*>(nullptr, [=]() -> Result<Record*> {
        const Result<OwnedTable> table = read_owned_table({protocol, family}, system_sources_now());
        if (!table) return table.failure();
        return make_records(*table);
    });
}

} // namespace

std::uint32_t sockscope::getProcessId(const char16_t* imageName) {
    return answer_or_fail<std::uint32_t>(0, [imageName] { return find_process_id(imageName, system_sources_now()); });
}

std::uint32_t sockscope::getnetPort_gx2(const char16_t* imageName) {
    return answer_or_fail<std::uint32_t>(0, [imageName]() -> Result<std::uint32_t> {
        const SystemSources sources = system_sources_now();
        const Result<std::uint32_t> process = find_process_id(imageName, sources);
        // A name no process has answers 0: matching it as id 0 would pick
        // some unrelated socket whose owner is unknown.
        if (!process || *process == 0) return process;
        TableQuery query(Protocol::tcp, Family::ipv4);
        query.keep = local_text_starts_127_0_0_1;
        query.only_process = *process;
        query.with_names = false;
        const Result<OwnedTable> table = read_owned_table(query, sources);
        if (!table) return table.failure();
        std::uint32_t port = 0;
        for (const SocketRow& row : table->rows)
            if (row.owner == *process) port = port_to_host_order(row.local_port);
        return port;
    });
}

statTCPROW* sockscope::getstat_tcp() { return snapshot<statTCPROW>(Protocol::tcp, Family::ipv4, make_tcp_records); }

statUDPROW* sockscope::getstat_udp() { return snapshot<statUDPROW>(Protocol::udp, Family::ipv4, make_udp_records); }

statTCPROW* sockscope::getstat_tcp6() { return snapshot<statTCPROW>(Protocol::tcp, Family::ipv6, make_tcp_records); }

statUDPROW* sockscope::getstat_udp6() { return snapshot<statUDPROW>(Protocol::udp, Family::ipv6, make_udp_records); }

void sockscope::getstat_free(statTCPROW* rows) { free_records(rows); }

void sockscope::getstat_free(statUDPROW* rows) { free_records(rows); }

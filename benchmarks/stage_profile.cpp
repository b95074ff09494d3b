// SPDX-License-Identifier: MIT
// Where the time of one TCP snapshot goes, stage by stage, on the live
// table: the netlink dump (and the /proc/net text for comparison), the
// owner scan by the library's default source and by the /proc scan alone,
// the owners' names, sorting, building records, releasing them. Prints the
// median milliseconds of each stage over ROUNDS runs (default 11), after
// one warm-up round (the default source may load something once).
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sockscope/sockscope.h>

#include "linux/owner_names.h"
#include "linux/proc_owner_scan.h"
#include "api/owner_sources.h"
#include "linux/socket_table_source.h"
#include "core/row_order.h"
#include "core/snapshot_records.h"

using namespace sockscope_detail;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    constexpr const char* stages[] = {"netlink dump", "owner scan",    "owner scan /proc", "owner names",
                                      "sort",         "build records", "release",          "/proc/net dump"};
    std::array<std::vector<double>, 8> samples;
    std::size_t rows_seen = 0;
    SystemSources netlink, proc_net, proc_scan;
    netlink.table = TableSource::netlink;
    proc_net.table = TableSource::proc_net;
    proc_scan.table = TableSource::netlink;
    proc_scan.owners = OwnerScan::proc;
    for (int round = 0; round <= rounds; ++round) { // round 0 warms up
        std::array<Clock::time_point, 9> at;
        at[0] = Clock::now();
        OwnedTable table;
        (void)read_socket_table({Protocol::tcp, Family::ipv4, 0, {}}, netlink, table.rows);
        at[1] = Clock::now();
        const ProcRoot root("/proc");
        SocketOwners owners(table.rows);
        (void)make_owner_source(root, 0, SystemSources{}, full_speed_plan())->find_owners(owners);
        at[2] = Clock::now();
        SocketOwners scanned(table.rows);
        (void)make_owner_source(root, 0, proc_scan, full_speed_plan())->find_owners(scanned);
        at[3] = Clock::now();
        owners.apply(table.rows);
        table.names = *read_owner_names(owners, root);
        at[4] = Clock::now();
        sort_rows(table.rows);
        at[5] = Clock::now();
        statTCPROW* records = make_tcp_records(table);
        at[6] = Clock::now();
        sockscope().getstat_free(records);
        at[7] = Clock::now();
        SocketRows text_rows;
        (void)read_socket_table({Protocol::tcp, Family::ipv4, 0, {}}, proc_net, text_rows);
        at[8] = Clock::now();
        rows_seen = table.rows.size();
        if (round == 0) continue;
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i].push_back(std::chrono::duration<double, std::milli>(at[i + 1] - at[i]).count());
    }
    std::printf("rows %zu, median of %d rounds\n", rows_seen, rounds);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::sort(samples[i].begin(), samples[i].end());
        std::printf("%-16s %8.2f ms\n", stages[i], samples[i][samples[i].size() / 2]);
    }
    return 0;
}

// Where the time of one TCP snapshot goes, stage by stage, on the live
// table: the netlink dump (and the /proc/net text for comparison), the
// owner scan, sorting, building records, releasing them. Prints the median
// milliseconds of each stage over ROUNDS runs (default 11).
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sockscope/sockscope.h>

#include "snapshot_builder.h"
#include "socket_owners.h"
#include "socket_table.h"

using namespace sockscope_detail;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    constexpr const char* stages[] = {"netlink dump", "owner scan", "sort", "build records", "release", "/proc/net dump"};
    std::array<std::vector<double>, 6> samples;
    std::size_t rows_seen = 0;
    for (int round = 0; round < rounds; ++round) {
        std::array<Clock::time_point, 7> at;
        at[0] = Clock::now();
        std::vector<SocketRow> rows = dump_table(Protocol::tcp, TableSource::netlink);
        at[1] = Clock::now();
        assign_owners(rows);
        at[2] = Clock::now();
        sort_rows(rows, Protocol::tcp);
        at[3] = Clock::now();
        statTCPROW* records = build_tcp_snapshot(rows, live_process_names());
        at[4] = Clock::now();
        sockscope().getstat_free(records);
        at[5] = Clock::now();
        const auto text_rows = dump_table(Protocol::tcp, TableSource::proc_net);
        at[6] = Clock::now();
        rows_seen = rows.size();
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

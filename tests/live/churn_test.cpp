// SPDX-License-Identifier: MIT
// Snapshots taken while connections open and close by the thousand and
// processes start and end: every snapshot stays well formed, and nothing
// crashes or hangs.
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sockscope/sockscope.h>

#include "support/child_process.h"
#include "support/loopback_sockets.h"
#include "support/snapshot_checks.h"

using namespace sockscope_test;

namespace {

constexpr int connections_to_churn = 3000;
constexpr int processes_to_churn = 40;
constexpr auto time_limit = std::chrono::seconds(60);

TEST(Churn, SnapshotsStayWellFormed) {
    std::atomic<int> snapshots{0}, failures{0};
    // Stopped and joined however the test ends (a socket or child that
    // can't be made throws).
    std::vector<std::jthread> takers;
    for (int t = 0; t < 2; ++t) {
        takers.emplace_back([&, t](std::stop_token stop) {
            sockscope library;
            while (!stop.stop_requested()) {
                if (t == 0) {
                    statTCPROW* rows = library.getstat_tcp();
                    if (!well_formed(rows)) ++failures;
                    library.getstat_free(rows);
                } else {
                    statUDPROW* rows = library.getstat_udp();
                    if (!well_formed(rows)) ++failures;
                    library.getstat_free(rows);
                    library.getnetPort_gx2(u"sschurn");
                }
                ++snapshots;
            }
        });
    }

    const auto deadline = std::chrono::steady_clock::now() + time_limit;
    int churned = 0, started = 0;
    const std::string name = unique_name("sschurn");
    const std::string program = test_child_named(name);
    std::optional<ChildProcess> child;
    while (churned < connections_to_churn && std::chrono::steady_clock::now() < deadline) {
        // A burst of connections, some UDP sockets, all closed again at once.
        {
            const auto listener = TestSocket::tcp_listener("127.0.0.1");
            std::vector<TestSocket> ends;
            for (int i = 0; i < 50; ++i) {
                ends.push_back(TestSocket::tcp_connection("127.0.0.1", listener.port()));
                ends.push_back(TestSocket::accept_from(listener));
                if (i % 10 == 0) ends.push_back(TestSocket::udp_socket("127.0.0.1"));
            }
            churned += 50;
        }
        // A process that starts with sockets of its own and ends.
        if (started < processes_to_churn) {
            child.emplace(program, std::vector<std::string>{"tcp-listen", "127.0.0.1", "udp-bind", "127.0.0.1"});
            ++started;
        }
        if (child && churned % 100 == 0) child.reset();
    }
    child.reset();
    takers.clear();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GE(churned, connections_to_churn) << "ran out of time";
    EXPECT_GT(snapshots.load(), 10);
    std::printf("churned %d connections and %d processes during %d snapshots\n", churned, started, snapshots.load());
}

} // namespace

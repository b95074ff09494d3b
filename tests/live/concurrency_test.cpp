// SPDX-License-Identifier: MIT
// Every member called from many threads at once, on objects of their own
// and on one shared object. Built with ThreadSanitizer, any data race in
// the library fails the run.
#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include <sockscope/sockscope.h>

#include "support/child_process.h"
#include "support/loopback_sockets.h"
#include "support/snapshot_checks.h"

using namespace sockscope_test;

namespace {

constexpr int threads = 8;
constexpr int rounds = 40; // four calls a round: 160 calls a thread

TEST(Concurrency, EveryMemberFromEightThreads) {
    const std::string name = unique_name("ssconc");
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1", "udp-bind", "127.0.0.1"});
    const std::u16string name16(name.begin(), name.end());
    const auto expected_pid = static_cast<std::uint32_t>(child.pid());
    const unsigned expected_port = child.ports().at(0);

    sockscope shared;
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            sockscope own;
            sockscope& library = t % 2 == 0 ? own : shared;
            for (int round = 0; round < rounds; ++round) {
                statTCPROW* tcp = library.getstat_tcp();
                if (!well_formed(tcp)) ++failures;
                library.getstat_free(tcp);
                statUDPROW* udp = library.getstat_udp();
                if (!well_formed(udp)) ++failures;
                library.getstat_free(udp);
                if (library.getProcessId(name16.c_str()) != expected_pid) ++failures;
                if (library.getnetPort_gx2(name16.c_str()) != expected_port) ++failures;
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace

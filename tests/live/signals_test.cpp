// SPDX-License-Identifier: MIT
// A caller whose process takes signals all the time (a timer, children
// ending) gets the same answers as a quiet one. A pending signal cuts
// directory listings and reads short; none of that may lose a process or an
// owner.
#include <atomic>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/time.h>
#include <unistd.h>

#include <sockscope/sockets.h>
#include <sockscope/sockscope.h>

#include "support/child_process.h"
#include "support/loopback_sockets.h"
#include "support/network_namespaces.h"
#include "support/own_name.h"

using namespace sockscope_test;

namespace {

std::atomic<unsigned> alarms{0};
void count_alarm(int) { alarms.fetch_add(1, std::memory_order_relaxed); }

// SIGALRM every `microseconds` with a restarting handler, for this scope.
class AlarmStorm {
public:
    explicit AlarmStorm(long microseconds) {
        struct sigaction action {};
        action.sa_handler = count_alarm;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &previous_);
        const itimerval every{{0, microseconds}, {0, microseconds}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~AlarmStorm() {
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }

private:
    struct sigaction previous_ {};
};

TEST(Signals, ATimerStormChangesNoAnswer) {
    const std::string name = unique_name("sigs");
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1"});
    const std::u16string name16 = utf16(name);
    const auto child_id = static_cast<std::uint32_t>(child.pid());
    const unsigned child_port = child.ports().at(0);
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto self = static_cast<std::uint32_t>(getpid());
    const std::u16string self_name = utf16(own_name());

    sockscope library;
    int lookups = 0, wrong_ids = 0, wrong_ports = 0, snapshots = 0, wrong_rows = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    alarms = 0;
    {
        const AlarmStorm storm(300);
        while (lookups < 1500 && std::chrono::steady_clock::now() < deadline) {
            ++lookups;
            if (library.getProcessId(name16.c_str()) != child_id) ++wrong_ids;
            if (lookups % 10 == 0) {
                if (library.getnetPort_gx2(name16.c_str()) != child_port) ++wrong_ports;
                ++snapshots;
                statTCPROW* rows = library.getstat_tcp();
                bool found = false;
                for (std::uint32_t i = 0; rows != nullptr && i < rows[0].size; ++i) {
                    const statTCPROW& row = rows[i];
                    // Ours by its local end: another process may listen on
                    // the same port at another address.
                    if (row.LocalPort != listener.port() || row.Statenum != 2 || row.LocalAddr == nullptr ||
                        listener.local().address != row.LocalAddr)
                        continue;
                    found = row.PID == self && row.ProcessName != nullptr && row.ProcessName == self_name;
                }
                if (!found) ++wrong_rows;
                library.getstat_free(rows);
            }
        }
    }
    RecordProperty("alarms", static_cast<int>(alarms.load()));
    EXPECT_GT(alarms.load(), 1000u) << "the timer hardly fired";
    EXPECT_GE(lookups, 300) << "too few calls in the time allowed";
    EXPECT_EQ(wrong_ids, 0) << "of " << lookups << " lookups";
    EXPECT_EQ(wrong_ports, 0) << "of " << snapshots << " port lookups";
    EXPECT_EQ(wrong_rows, 0) << "of " << snapshots << " snapshots";
}

// A call that reads every network namespace runs threads that enter them;
// signals meanwhile change none of its answers.
TEST(Signals, ATimerStormChangesNoAnswerAcrossNamespaces) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a namespace";
    const NamespacedListener elsewhere;
    ASSERT_TRUE(elsewhere.ready());
    const std::uint64_t netns = netns_of(elsewhere.pid());
    int calls = 0, wrong = 0;
    {
        const AlarmStorm storm(300);
        for (; calls < 100; ++calls) {
            sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
            selection.what = SOCKSCOPE_TCP | SOCKSCOPE_IPV4 | SOCKSCOPE_ALL_NAMESPACES;
            sockscope_snapshot* snapshot = sockscope_snapshot_take(&selection);
            bool found = false;
            for (std::size_t i = 0; snapshot != nullptr && i < snapshot->count; ++i) {
                const sockscope_socket* socket = sockscope_socket_at(snapshot, i);
                found |= socket->netns == netns && socket->local_port == elsewhere.port() && socket->owner_count == 1 &&
                         sockscope_owner_at(snapshot, socket, 0)->pid == static_cast<std::uint32_t>(elsewhere.pid());
            }
            if (!found) ++wrong;
            sockscope_snapshot_free(snapshot);
        }
    }
    EXPECT_EQ(wrong, 0) << "of " << calls << " calls";
}

} // namespace

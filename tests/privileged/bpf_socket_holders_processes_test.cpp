// SPDX-License-Identifier: MIT
// The BPF owner source in the shapes processes take: a PID namespace of
// their own, several threads (one with a file table of its own), processes
// that come and go while it reads, callers on several threads; and the
// environment switch that turns it off. Skipped where the iterator can't run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <latch>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <sockscope/sockscope.h>

#include "api/owner_sources.h"
#include "api/table_pipeline.h"
#include "support/bpf_socket_holders_fixture.h"
#include "support/holding_child.h"
#include "support/isolated_child.h"
#include "support/loopback_sockets.h"
#include "support/pid_namespace_view.h"
#include "support/socket_descriptors.h"

using namespace sockscope_test;
using sockscope_detail::read_socket_holders;

namespace {

TEST_F(BpfSocketHolders, PidNamespaceSeesItsOwnNumbers) {
    // Loaded here first, so the namespace's processes use the program they
    // inherit across fork, loaded in a namespace above theirs.
    ASSERT_TRUE(read_socket_holders().ok());
    const auto outside = TestSocket::udp_socket("127.0.0.1");
    const std::string fault = check_pid_namespace_view(outside.fd(), [] { return read_socket_holders(); });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
}

TEST_F(BpfSocketHolders, ThreadsAreReportedOnceUnderTheProcess) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    constexpr int plain_threads = 3;
    std::latch started(plain_threads + 1);
    std::latch release(1);
    std::atomic<pid_t> private_thread{0};
    std::atomic<std::uint64_t> private_inode{0};
    std::vector<std::thread> threads;
    std::vector<pid_t> thread_ids(plain_threads);
    for (int i = 0; i < plain_threads; ++i)
        threads.emplace_back([&, i] {
            thread_ids[i] = gettid();
            started.count_down();
            release.wait();
        });
    // A thread with a file table of its own: /proc/<id>/fd shows the
    // leader's table only, so its socket belongs to no process there.
    threads.emplace_back([&] {
        int fd = -1;
        if (unshare(CLONE_FILES) == 0) fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) private_inode = socket_inode(fd);
        private_thread = gettid();
        started.count_down();
        release.wait();
        if (fd >= 0) close(fd);
    });
    started.wait();

    const auto holders = read();
    const auto truth = socket_descriptors_from_proc(getpid());
    release.count_down();
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(socket_descriptors_of(holders, own_id()), truth);
    EXPECT_TRUE(truth.contains({listener.fd(), socket_inode(listener.fd())}));
    thread_ids.push_back(private_thread);
    for (const pid_t thread : thread_ids)
        EXPECT_TRUE(socket_descriptors_of(holders, static_cast<std::uint32_t>(thread)).empty()) << thread;
    ASSERT_NE(private_inode.load(), 0u) << "the thread could not get a file table of its own";
    EXPECT_TRUE(holders_of(holders, private_inode).empty());
}

// Keeps starting short-lived processes that hold a socket of their own and
// every descriptor of the test, until asked to stop (SIGTERM) or for at
// most 3 s. Not a number of processes: a fast machine starts a thousand
// before a slow read of a busy one ends, and the churner must outlive the
// reads.
std::atomic<bool> stop_churning{false};

void churn() {
    std::signal(SIGTERM, [](int) { stop_churning = true; });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int running = 0;
    for (int started = 0; !stop_churning && std::chrono::steady_clock::now() < end; ++started) {
        const pid_t child = fork();
        if (child == 0) {
            const int fd = socket(AF_INET, SOCK_DGRAM, 0);
            usleep(static_cast<useconds_t>(started % 3) * 1000);
            close(fd);
            _exit(0);
        }
        if (child > 0) ++running;
        while (running >= 8 && wait(nullptr) > 0) --running;
    }
    while (running > 0 && wait(nullptr) > 0) --running;
    _exit(0);
}

TEST_F(BpfSocketHolders, ProcessesComingAndGoingWhileReading) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const std::uint64_t inode = socket_inode(listener.fd());
    HoldingChild churner([] { return 0; }, churn);
    ASSERT_EQ(churner.reported(), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int reads = 0;
    for (; reads < 40 && std::chrono::steady_clock::now() < end; ++reads) {
        const auto holders = read();
        const auto held_by = holders_of(holders, inode);
        // The test and the churner hold it always; the churner's children
        // while they live.
        const auto holds = [&](std::uint32_t id) { return std::find(held_by.begin(), held_by.end(), id) != held_by.end(); };
        EXPECT_TRUE(holds(own_id()));
        EXPECT_TRUE(holds(static_cast<std::uint32_t>(churner.pid())));
        if (HasFailure()) break;
    }
    EXPECT_GT(reads, 0);
}

TEST_F(BpfSocketHolders, CallsFromSeveralThreadsAtOnce) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const std::uint64_t inode = socket_inode(listener.fd());
    // Loaded first: while one thread loads the program, the others get no
    // answer rather than wait (they scan /proc instead).
    ASSERT_TRUE(read_socket_holders());
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                const auto holders = read_socket_holders();
                if (!holders || !malformed(*holders).empty() || holders_of(*holders, inode) != std::vector{own_id()})
                    ++failures;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
}

// The rule that picks a call's owner path, case by case.
TEST(OwnerPathChoice, FollowsTheSwitchTheProcRootAndTheProcessHistory) {
    using sockscope_detail::OwnerPath;
    using sockscope_detail::OwnerPathFacts;
    using sockscope_detail::OwnerScan;
    const auto path = [](OwnerScan wanted, bool may, bool loaded, bool proc_ours, bool first,
                         std::uint64_t files = 10) {
        return sockscope_detail::choose_owner_path(OwnerPathFacts{wanted, may, loaded, proc_ours, first, files, 100});
    };
    EXPECT_EQ(path(OwnerScan::automatic, true, false, true, false), OwnerPath::iterator);     // a second call loads it
    EXPECT_EQ(path(OwnerScan::automatic, true, false, true, true), OwnerPath::proc_scan);     // a first call scans
    EXPECT_EQ(path(OwnerScan::automatic, true, false, true, true, 100), OwnerPath::iterator); // unless files are many
    EXPECT_EQ(path(OwnerScan::automatic, true, true, true, true), OwnerPath::iterator);       // or it is loaded
    EXPECT_EQ(path(OwnerScan::proc, true, true, true, false), OwnerPath::proc_scan);       // SOCKSCOPE_OWNER_SCAN=proc
    EXPECT_EQ(path(OwnerScan::automatic, false, true, true, false), OwnerPath::proc_scan); // no privilege now
    EXPECT_EQ(path(OwnerScan::automatic, true, true, false, false), OwnerPath::proc_scan); // /proc of another PID namespace
}

// A process's first call loads the iterator when many files are open, and
// scans /proc when few are.
TEST(OwnerPathChoice, AFirstCallLoadsTheIteratorWhenFilesAreMany) {
    const std::string why = why_bpf_unavailable();
    if (!why.empty()) GTEST_SKIP() << "BPF iterator not expected to work here: " << why;
    if (sockscope_detail::socket_holders_loaded()) GTEST_SKIP() << "loaded earlier in this process";
    for (const std::uint64_t threshold : {std::uint64_t{1}, std::uint64_t{1} << 40}) {
        const std::string fault = run_isolated([threshold]() -> std::string {
            sockscope_detail::SystemSources sources;
            sources.iterator_on_first_call_from = threshold;
            const auto table = sockscope_detail::read_owned_table(
                {sockscope_detail::Protocol::tcp, sockscope_detail::Family::ipv4}, sources);
            if (!table) return "the call failed";
            const bool many = threshold == 1;
            return sockscope_detail::socket_holders_loaded() == many ? "" : many ? "not loaded" : "loaded";
        });
        EXPECT_EQ(fault, "") << "from " << threshold << " files";
    }
}

// SOCKSCOPE_OWNER_SCAN=proc is read on every call: set, no call loads the
// iterator; unset, the next calls do.
TEST(OwnerPathChoice, OwnerScanProcLoadsNothing) {
    const std::string why = why_bpf_unavailable();
    if (!why.empty()) GTEST_SKIP() << "BPF iterator not expected to work here: " << why;
    if (sockscope_detail::socket_holders_loaded()) GTEST_SKIP() << "loaded earlier in this process";
    const std::string fault = run_isolated([]() -> std::string {
        sockscope library;
        setenv("SOCKSCOPE_OWNER_SCAN", "proc", 1);
        for (int call = 0; call < 3; ++call) library.getstat_free(library.getstat_tcp());
        if (sockscope_detail::socket_holders_loaded()) return "loaded although switched off";
        unsetenv("SOCKSCOPE_OWNER_SCAN");
        for (int call = 0; call < 2; ++call) library.getstat_free(library.getstat_tcp());
        return sockscope_detail::socket_holders_loaded() ? "" : "not loaded once switched on";
    });
    EXPECT_EQ(fault, "");
}

} // namespace

// SPDX-License-Identifier: MIT
// The kernel iterator and the /proc scan give the same rows: owners (lowest
// id of every holder) and names, for sockets shared across fork, passed
// over a unix socket, held in another PID namespace, and while processes
// come and go; inside a PID namespace, by that namespace's numbers, or by
// /proc's where the namespace has none of its own; and after the caller
// entered a user namespace of its own.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <sched.h>
#include <set>
#include <string>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <functional>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "core/conversions.h"
#include <sockscope/sockscope.h>
#include "linux/bpf_socket_holders.h"
#include "support/child_process.h"
#include "support/descriptor_passing.h"
#include "support/holding_child.h"
#include "support/isolated_child.h"
#include "support/loopback_sockets.h"
#include "support/results.h"
#include "support/socket_descriptors.h"
#include "api/table_pipeline.h"

using namespace sockscope_detail;
using namespace sockscope_test;

namespace {

constexpr std::uint32_t loopback = 0x0100007F; // 127.0.0.1 as the kernel stores it

// local port, remote port, state, owner, owner's name
using Seen = std::tuple<unsigned, unsigned, std::uint32_t, std::uint32_t, std::string>;

std::multiset<Seen> rows_on(const std::set<unsigned>& ports, OwnerScan scan, const char* proc_root = "/proc") {
    SystemSources sources;
    sources.owners = scan;
    sources.proc_root = proc_root;
    const OwnedTable table = ok(read_owned_table({Protocol::tcp, Family::ipv4}, sources));
    std::multiset<Seen> seen;
    for (const SocketRow& row : table.rows) {
        // Only the listeners themselves: a connection that ended before the
        // test took one of these port numbers can still sit in TIME_WAIT
        // with it as its remote port, and another address can use it too.
        const unsigned local = port_to_host_order(row.local_port), remote = port_to_host_order(row.remote_port);
        if (ports.count(local) == 0 || remote != 0 || ipv4_field(row.local_address) != loopback) continue;
        const std::string* name = table.names.find(row.owner);
        seen.insert({local, remote, row.state, row.owner, name != nullptr ? *name : "<none>"});
    }
    return seen;
}

std::string iterator_missing() {
    const std::string why = why_bpf_unavailable();
    if (!why.empty()) return why;
    return read_socket_holders() ? "" : "the iterator gave no answer";
}

TEST(OwnerPaths, IteratorAndProcScanGiveTheSameRows) {
    if (const std::string why = iterator_missing(); !why.empty()) GTEST_SKIP() << why;
    // Every process made here inherits the test's descriptors, and process
    // ids wrap: a child can have a lower id than the test. So each listener
    // is made just before the processes meant to hold it, and the churn's
    // processes descend from one made before any of them.

    // Connections that open and close, in processes that come and go. The
    // churn's parent accepts each connection (a full backlog would hold the
    // next connect) and ends between two of them when asked to.
    const auto churn_listener = TestSocket::tcp_listener("127.0.0.1");
    const unsigned churn_port = churn_listener.port();
    const int churn_fd = churn_listener.fd();
    HoldingChild churn([] { return 0; }, [churn_port, churn_fd] {
        static volatile std::sig_atomic_t asked_to_end = 0;
        std::signal(SIGTERM, [](int) { asked_to_end = 1; });
        if (fcntl(churn_fd, F_SETFL, O_NONBLOCK) != 0) _exit(1); // a failed connect leaves none to accept
        sockaddr_in listener{};
        listener.sin_family = AF_INET;
        listener.sin_port = htons(static_cast<std::uint16_t>(churn_port));
        listener.sin_addr.s_addr = loopback;
        for (int i = 0; i < 100000 && asked_to_end == 0; ++i) { // ends with the test, long before
            const pid_t connected = fork();
            if (connected == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                const int fd = socket(AF_INET, SOCK_STREAM, 0);
                _exit(connect(fd, reinterpret_cast<const sockaddr*>(&listener), sizeof listener) == 0 ? 0 : 1);
            }
            if (connected < 0) break;
            while (waitpid(connected, nullptr, 0) < 0 && errno == EINTR) {
            }
            const int accepted = accept4(churn_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (accepted >= 0) close(accepted);
        }
        _exit(0);
    });
    ASSERT_EQ(churn.reported(), 0);

    // Passed over a unix socket and closed here: the receiver owns it.
    int channel[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel), 0);
    HoldingChild receiver([&] { return receive_descriptor(channel[1]); });
    ASSERT_GE(receiver.pid(), 0);

    // Held by a process in a PID namespace of its own.
    std::set<unsigned> ports;
    std::optional<TestSocket> namespaced(TestSocket::tcp_listener("127.0.0.1"));
    const unsigned namespaced_port = namespaced->port();
    const int namespaced_fd = namespaced->fd();
    HoldingChild outer([namespaced_fd] {
        if (unshare(CLONE_NEWPID) != 0) return -1;
        const pid_t inner = fork(); // number 1 of the new namespace, the listener's only holder
        if (inner == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            pause();
            _exit(0);
        }
        close(namespaced_fd);
        return inner > 0 ? 0 : -1;
    });
    const bool has_namespace = outer.reported() == 0;
    namespaced.reset();
    // Without a namespace nothing holds the port any more, and anything
    // may take it.
    if (has_namespace) ports.insert(namespaced_port);

    std::optional<TestSocket> passed(TestSocket::tcp_listener("127.0.0.1"));
    ports.insert(passed->port());
    ASSERT_TRUE(send_descriptor(channel[0], passed->fd()));
    ASSERT_GE(receiver.reported(), 0);
    passed.reset();

    // Shared across fork: both hold it, the lower id owns it.
    const auto shared = TestSocket::tcp_listener("127.0.0.1");
    ports.insert(shared.port());
    HoldingChild sharer([] { return 0; });
    ASSERT_EQ(sharer.reported(), 0);

    for (int round = 0; round < 20; ++round) {
        const auto iterator = rows_on(ports, OwnerScan::automatic);
        const auto scan = rows_on(ports, OwnerScan::proc);
        ASSERT_EQ(iterator, scan) << "round " << round;
        ASSERT_EQ(iterator.size(), ports.size()) << ::testing::PrintToString(iterator); // the listeners
    }
    const auto rows = rows_on(ports, OwnerScan::automatic);
    std::map<unsigned, std::uint32_t> owner;
    for (const auto& [local, remote, state, id, name] : rows) owner[local] = id;
    EXPECT_EQ(owner[shared.port()], static_cast<std::uint32_t>(std::min(getpid(), sharer.pid())));
    EXPECT_EQ(owner.size(), ports.size());
    if (!has_namespace) std::printf("no PID namespace here: that case was not compared\n");
}

// Runs `body` as init (number 1) of a new PID namespace made in a forked
// child, with a /proc of its own (mounted at `proc_dir`) or with the one it
// inherits, and returns what it returns ("skip: why" where namespaces can't
// be made).
std::string run_as_namespace_init(bool own_proc, const std::function<std::string(const char* proc_dir)>& body) {
    return run_isolated([&]() -> std::string {
        const int flags = CLONE_NEWPID | (own_proc ? CLONE_NEWNS : 0);
        if (unshare(flags) != 0 || (own_proc && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0))
            return std::string("skip: no namespaces: ") + std::strerror(errno);
        int report[2];
        if (pipe(report) != 0) return "pipe failed";
        const pid_t init = fork();
        if (init == 0) {
            close(report[0]);
            std::string fault;
            char proc_dir[] = "/tmp/sockscope-proc-XXXXXX";
            if (!own_proc) {
                fault = body("/proc");
            } else if (mkdtemp(proc_dir) == nullptr || mount("proc", proc_dir, "proc", 0, nullptr) != 0) {
                fault = "skip: cannot mount a private /proc";
            } else {
                fault = body(proc_dir);
                umount(proc_dir);
                rmdir(proc_dir);
            }
            (void)!write(report[1], fault.data(), fault.size());
            _exit(0);
        }
        close(report[1]);
        std::string fault;
        char buffer[256];
        for (ssize_t got; (got = read(report[0], buffer, sizeof buffer)) > 0;)
            fault.append(buffer, static_cast<std::size_t>(got));
        waitpid(init, nullptr, 0);
        return fault;
    });
}

// Inside a PID namespace with its own /proc, both ways number owners as the
// namespace does.
TEST(OwnerPaths, InsideAPidNamespaceBothUseItsNumbers) {
    if (const std::string why = iterator_missing(); !why.empty()) GTEST_SKIP() << why;
    const std::string result = run_as_namespace_init(true, [](const char* proc_dir) {
        std::string fault;
        const auto listener = TestSocket::tcp_listener("127.0.0.1");
        HoldingChild holder([] { return 0; }); // number 2, holding it too
        holder.reported();
        const auto iterator = rows_on({listener.port()}, OwnerScan::automatic, proc_dir);
        const auto scan = rows_on({listener.port()}, OwnerScan::proc, proc_dir);
        if (iterator != scan) fault += "the two ways differ; ";
        if (iterator.size() != 1 || std::get<3>(*iterator.begin()) != 1) fault += "init is not the owner; ";
        return fault;
    });
    if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
    EXPECT_EQ(result, "");
}

// A PID namespace entered without mounting its own /proc keeps its
// parent's, whose ids differ from the namespace's: both ways then answer
// with /proc's ids, and so does the port lookup.
TEST(OwnerPaths, APidNamespaceWithoutItsOwnProcGetsTheSameAnswerBothWays) {
    if (const std::string why = iterator_missing(); !why.empty()) GTEST_SKIP() << why;
    const std::string name = unique_name("ns");
    const std::string result = run_as_namespace_init(false, [&](const char* proc_dir) {
        std::string fault;
        prctl(PR_SET_NAME, name.c_str());
        const auto listener = TestSocket::tcp_listener("127.0.0.1");
        HoldingChild holder([] { return 0; });
        holder.reported();
        const auto iterator = rows_on({listener.port()}, OwnerScan::automatic, proc_dir);
        const auto scan = rows_on({listener.port()}, OwnerScan::proc, proc_dir);
        if (iterator != scan) fault += "the two ways differ: " + ::testing::PrintToString(iterator) + "; ";
        const std::u16string wide(name.begin(), name.end());
        const std::uint32_t by_default = sockscope().getnetPort_gx2(wide.c_str());
        setenv("SOCKSCOPE_OWNER_SCAN", "proc", 1);
        const std::uint32_t by_scan = sockscope().getnetPort_gx2(wide.c_str());
        if (by_default != listener.port() || by_scan != listener.port())
            fault += "port lookup " + std::to_string(by_default) + " / " + std::to_string(by_scan) + "; ";
        return fault;
    });
    if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
    EXPECT_EQ(result, "");
}

// Capabilities count in the caller's own user namespace: one that entered a
// new one has them all there, while /proc shuts it out of every process it
// doesn't own. The iterator loaded before then is not used after.
TEST(OwnerPaths, AfterEnteringAUserNamespaceBothWaysAgree) {
    if (const std::string why = iterator_missing(); !why.empty()) GTEST_SKIP() << why;
    const auto parents = TestSocket::tcp_listener("127.0.0.1");
    const unsigned parents_port = parents.port();
    const int parents_fd = parents.fd();
    const std::string result = run_isolated([&]() -> std::string {
        close(parents_fd); // held by the parent alone
        const auto own = TestSocket::tcp_listener("127.0.0.1");
        if (unshare(CLONE_NEWUSER) != 0) return std::string("skip: no user namespace: ") + std::strerror(errno);
        const auto iterator = rows_on({parents_port, own.port()}, OwnerScan::automatic);
        const auto scan = rows_on({parents_port, own.port()}, OwnerScan::proc);
        if (iterator != scan)
            return "the two ways differ: " + ::testing::PrintToString(iterator) + " / " + ::testing::PrintToString(scan);
        return "";
    });
    if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
    EXPECT_EQ(result, "");
}

} // namespace

// SPDX-License-Identifier: MIT
// Every network namespace in one snapshot, in namespaces and cgroups the
// tests make: each socket with its namespace, each owner with its cgroup and
// container, the same port in several namespaces, a named namespace no
// process is in, rows as ss prints them inside each namespace; a caller
// without the privilege to enter namespaces; namespaces that end while a
// call reads them.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sched.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <linux/capability.h>
#include <optional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <sockscope/sockets.h>

#include "support/child_process.h"
#include "support/holding_child.h"
#include "support/isolated_child.h"
#include "support/loopback_sockets.h"
#include "support/network_namespaces.h"
#include "support/ss_view.h"

using namespace sockscope_test;

namespace {

const std::string docker_id(64, 'a');
const std::string containerd_id = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// The LISTEN sockets on 127.0.0.1:`port` of every namespace.
struct Listeners {
    explicit Listeners(unsigned port) : port(port) {
        const std::uint16_t ports[] = {static_cast<std::uint16_t>(port)};
        sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
        selection.what = SOCKSCOPE_TCP | SOCKSCOPE_IPV4 | SOCKSCOPE_ALL_NAMESPACES;
        selection.states = SOCKSCOPE_STATE_BIT(SOCKSCOPE_LISTEN);
        selection.ports = ports;
        selection.port_count = 1;
        snapshot = sockscope_snapshot_take(&selection);
    }
    ~Listeners() { sockscope_snapshot_free(snapshot); }
    const sockscope_socket* in(std::uint64_t netns) const {
        for (std::size_t i = 0; snapshot != nullptr && i < snapshot->count; ++i) {
            const sockscope_socket* socket = sockscope_socket_at(snapshot, i);
            // On 127.0.0.1: in this namespace another process may listen on
            // the same port at another address.
            if (socket->netns == netns && socket->local_port == port && socket->local_text != nullptr &&
                std::strcmp(socket->local_text, "127.0.0.1") == 0)
                return socket;
        }
        return nullptr;
    }
    // "pid container cgroup" of its only owner.
    std::string owner_of(const sockscope_socket* socket) const {
        if (socket == nullptr || socket->owner_count != 1) return "not one owner";
        const sockscope_owner* owner = sockscope_owner_at(snapshot, socket, 0);
        return std::to_string(owner->pid) + " " + (owner->container ? owner->container : "-") + " " +
               (owner->cgroup ? owner->cgroup : "-");
    }
    unsigned port;
    sockscope_snapshot* snapshot;
};

int listen_in_this_namespace(unsigned port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && listen(fd, 8) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

TEST(Namespaces, EverySocketWithItsNamespaceAndEveryOwnerWithItsContainer) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make namespaces and cgroups";
    const std::string docker_cgroup = "/system.slice/docker-" + docker_id + ".scope";
    const std::string pod_cgroup = "/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod1f2e.slice/"
                                   "cri-containerd-" + containerd_id + ".scope";
    const TestCgroup docker(docker_cgroup), pod(pod_cgroup);
    if (!docker.made() || !pod.made()) GTEST_SKIP() << "cannot make cgroups here";
    // The same port in four namespaces: two of processes of their own, a
    // named one that no process is in, and this one (last, so that the
    // children don't hold this one's listener). The port is one free here,
    // where other processes may hold any; should one take it meanwhile, the
    // namespaces are made again with another.
    std::optional<NamespacedListener> first, second;
    std::optional<NamedNamespace> named;
    unsigned port = 0;
    int own = -1;
    for (int attempt = 0; attempt < 5 && own < 0; ++attempt) {
        named.reset();
        second.reset();
        first.reset();
        port = TestSocket::tcp_listener("127.0.0.1").port(); // let go at once
        first.emplace(port, &docker);
        second.emplace(port, &pod);
        named.emplace(unique_name("sockscope-ns"), port);
        ASSERT_TRUE(first->ready() && second->ready() && named->ready());
        own = listen_in_this_namespace(port);
    }
    ASSERT_GE(own, 0) << "port " << port << " was taken here five times";

    const Listeners found(port);
    ASSERT_NE(found.snapshot, nullptr);
    EXPECT_EQ(found.owner_of(found.in(netns_of(0))), std::to_string(getpid()) + " - /");
    EXPECT_EQ(found.owner_of(found.in(netns_of(first->pid()))), std::to_string(first->pid()) + " " + docker_id + " " + docker_cgroup);
    EXPECT_EQ(found.owner_of(found.in(netns_of(second->pid()))), std::to_string(second->pid()) + " " + containerd_id + " " + pod_cgroup);
    const sockscope_socket* in_named = found.in(named->inode());
    ASSERT_NE(in_named, nullptr);
    EXPECT_EQ(found.owner_of(in_named), std::to_string(getpid()) + " - /");
    EXPECT_EQ(found.in(netns_of(0))->netns_name, nullptr);

    // Each namespace's rows are those ss prints inside it.
    for (const pid_t pid : {first->pid(), second->pid()}) {
        const auto ss = ss_sockets("nsenter --net=/proc/" + std::to_string(pid) + "/ns/net ss -tanpeH");
        const std::string ours = as_ss_writes(found.snapshot, found.in(netns_of(pid)));
        EXPECT_EQ(ss.count(ss_key(ours)) ? ss.at(ss_key(ours)) : "not in ss", ours);
    }
    close(own);
}

TEST(Namespaces, ANamedNamespaceCarriesItsName) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make namespaces";
    const std::string name = unique_name("sockscope-named");
    const NamedNamespace named(name, 0);
    ASSERT_TRUE(named.ready());
    sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
    selection.what = SOCKSCOPE_TCP | SOCKSCOPE_ALL_NAMESPACES;
    sockscope_snapshot* snapshot = sockscope_snapshot_take(&selection);
    ASSERT_NE(snapshot, nullptr);
    int named_rows = 0;
    for (std::size_t i = 0; i < snapshot->count; ++i) {
        const sockscope_socket* socket = sockscope_socket_at(snapshot, i);
        if (socket->netns != named.inode()) continue;
        ++named_rows;
        EXPECT_STREQ(socket->netns_name, name.c_str());
    }
    sockscope_snapshot_free(snapshot);
    EXPECT_EQ(named_rows, 1);
}

// Without CAP_SYS_ADMIN the caller can't enter namespaces: it reads those
// of processes it may look at through /proc/<id>/net, and counts the rest.
TEST(Namespaces, ACallerWithoutPrivilegeReadsWhatItMayAndCountsTheRest) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make namespaces";
    const NamespacedListener process_in_it;
    const NamedNamespace named(unique_name("sockscope-closed"), 0);
    ASSERT_TRUE(process_in_it.ready() && named.ready());
    const std::uint64_t readable = netns_of(process_in_it.pid());
    const unsigned port = process_in_it.port();
    const std::string fault = run_isolated([&]() -> std::string {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct sets[2]{};
        syscall(SYS_capget, &header, sets);
        sets[0].effective &= ~(1u << CAP_SYS_ADMIN);
        sets[0].permitted &= ~(1u << CAP_SYS_ADMIN);
        if (syscall(SYS_capset, &header, sets) != 0) return "skip: cannot drop CAP_SYS_ADMIN";
        const Listeners found(port);
        if (found.snapshot == nullptr) return "the snapshot failed: " + std::to_string(errno);
        std::string problems;
        if (found.in(readable) == nullptr) problems += "the process's namespace is missing; ";
        if (found.snapshot->skipped_namespaces < 1) problems += "the named namespace was not counted as skipped; ";
        return problems;
    });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
}

// Namespaces come and go while calls read them: every call answers, and
// its rows are whole.
TEST(Namespaces, NamespacesThatEndDuringACallFailNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make namespaces";
    std::atomic<bool> done{false};
    std::thread churn([&] {
        while (!done) NamespacedListener passing; // made, listened in, ended
    });
    int failures = 0, calls = 0;
    for (; calls < 30; ++calls) {
        sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
        selection.what = SOCKSCOPE_ALL_NAMESPACES;
        sockscope_snapshot* snapshot = sockscope_snapshot_take(&selection);
        if (snapshot == nullptr) ++failures;
        for (std::size_t i = 0; snapshot != nullptr && i < snapshot->count; ++i)
            if (sockscope_socket_at(snapshot, i)->local_text == nullptr) ++failures;
        sockscope_snapshot_free(snapshot);
    }
    done = true;
    churn.join();
    EXPECT_EQ(failures, 0) << "of " << calls << " calls";
}

// Every TCP socket of every namespace.
struct Everything {
    Everything() : snapshot(sockscope_snapshot_take(&selection)) {}
    ~Everything() { sockscope_snapshot_free(snapshot); }
    // The socket of inode `inode`; null when none is.
    const sockscope_socket* with_inode(int inode) const {
        for (std::size_t i = 0; snapshot != nullptr && inode > 0 && i < snapshot->count; ++i)
            if (sockscope_socket_at(snapshot, i)->inode == static_cast<std::uint64_t>(inode))
                return sockscope_socket_at(snapshot, i);
        return nullptr;
    }
    static constexpr sockscope_selection selection{sizeof(sockscope_selection),
                                                   SOCKSCOPE_TCP | SOCKSCOPE_ALL_NAMESPACES, 0, nullptr, 0, nullptr, 0, 0};
    sockscope_snapshot* const snapshot;
};

// As a process nobody started would be: its /proc/<id> nobody's to read.
bool become_nobody() {
    return setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0 &&
           prctl(PR_SET_DUMPABLE, 1) == 0;
}

// `ip netns add` leaves a plain file for a moment before it mounts the
// namespace there, and `ip netns del` after: no call counts one.
TEST(Namespaces, NamesAddedAndDeletedBesideCallsAreNeverCountedAsSkipped) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make namespaces";
    const std::string fault = run_isolated([]() -> std::string {
        if (!private_netns_folder()) return "skip: no mount namespace of its own";
        std::atomic<bool> done{false};
        // As ip netns add and del do, as fast as they can: a file made,
        // a namespace mounted on it, unmounted, the file removed.
        std::thread churn([&] {
            for (int i = 0; i < 1000000 && !done; ++i) {
                close(open("/run/netns/churn", O_CREAT | O_WRONLY | O_CLOEXEC, 0444));
                mount("/proc/self/ns/net", "/run/netns/churn", nullptr, MS_BIND, nullptr);
                umount2("/run/netns/churn", MNT_DETACH);
                unlink("/run/netns/churn");
            }
        });
        int counted = 0;
        for (int call = 0; call < 40; ++call) {
            const Everything found;
            counted += found.snapshot == nullptr || found.snapshot->skipped_namespaces > 0;
        }
        done = true;
        churn.join();
        return counted == 0 ? "" : std::to_string(counted) + " of 40 calls failed or counted a skipped namespace";
    });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
}

// The caller's own namespace carries its name too; a namespace is read
// through any process in it that the caller may look at: nobody's own
// listener in a named namespace it can't enter, and a root process's in an
// unnamed one, whose inode nobody may not see.
TEST(Namespaces, EveryWayToANamespaceIsTriedAndItsNameGivenWhereverItHasOne) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make namespaces";
    HoldingChild root_only([] { return unshare(CLONE_NEWNET) == 0 ? listener_inode() : -1; });
    const int roots = root_only.reported();
    const std::string fault = run_isolated([&]() -> std::string {
        if (!private_netns_folder() || std::system("ip netns add own && ip netns add nobodys") != 0)
            return "skip: no namespaces of its own";
        const int own = open("/run/netns/own", O_RDONLY), nobodys = open("/run/netns/nobodys", O_RDONLY);
        struct stat named {};
        if (setns(own, CLONE_NEWNET) != 0 || fstat(nobodys, &named) != 0) return "cannot enter own";
        const int listener = listener_inode();
        const Everything named_here;
        const sockscope_socket* here = named_here.with_inode(listener);
        std::string problems = here == nullptr || here->netns_name == nullptr || std::string(here->netns_name) != "own"
                                   ? "the caller's own namespace is not named; " : "";
        HoldingChild in_named(
            [&] { return setns(nobodys, CLONE_NEWNET) == 0 && become_nobody() ? listener_inode() : -1; });
        const int nobodys_listener = in_named.reported();
        if (!become_nobody()) return "cannot become nobody";
        const Everything found;
        const sockscope_socket* its_own = found.with_inode(nobodys_listener);
        if (its_own == nullptr || its_own->netns != named.st_ino) problems += "nobody's own listener is missing; ";
        const sockscope_socket* unnamed = found.with_inode(roots);
        if (unnamed == nullptr || unnamed->netns != 0) problems += "the root process's listener is missing; ";
        return problems;
    });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
}

// A namespace is held from when it is found: the process it was found by
// ending during the call takes nothing from the others in it.
TEST(Namespaces, AProcessEndingDuringACallLeavesItsNamespaceWhole) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make namespaces";
    int missing = 0;
    for (int run = 0; run < 10; ++run) {
        auto first = std::make_unique<HoldingChild>([] { return unshare(CLONE_NEWNET); });
        ASSERT_EQ(first->reported(), 0);
        const std::string path = "/proc/" + std::to_string(first->pid()) + "/ns/net";
        HoldingChild second([&] {
            const int ns = open(path.c_str(), O_RDONLY);
            return ns >= 0 && setns(ns, CLONE_NEWNET) == 0 ? listener_inode() : -1;
        });
        const int inode = second.reported();
        ASSERT_GT(inode, 0);
        std::thread ending([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(300 * run));
            first.reset();
        });
        missing += Everything().with_inode(inode) == nullptr;
        ending.join();
    }
    EXPECT_EQ(missing, 0) << "of 10 calls";
}

} // namespace

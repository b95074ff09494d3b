// SPDX-License-Identifier: MIT
// Callers short of descriptors or of stack get right answers or a visible
// failure, never answers that look whole and are not.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include <sockscope/sockets.h>
#include <sockscope/sockscope.h>

#include "support/child_process.h"
#include "support/isolated_child.h"
#include "support/loopback_sockets.h"
#include "support/network_namespaces.h"
#include "support/own_name.h"
#include "support/sanitized.h"
#include "support/snapshot_checks.h"

using namespace sockscope_test;

namespace {

using sockscope_test::sanitized;

// The listener on 127.0.0.1:`port`: another process may listen on the same
// port at another address.
const statTCPROW* find_listener(const statTCPROW* rows, unsigned port) {
    for (std::uint32_t i = 0; i < rows[0].size; ++i)
        if (rows[i].LocalPort == port && rows[i].Statenum == 2 && rows[i].LocalAddr != nullptr &&
            std::strcmp(rows[i].LocalAddr, "127.0.0.1") == 0)
            return &rows[i];
    return nullptr;
}

// The owners of the TCP listener on 127.0.0.1:`port` of this network
// namespace through the C interface, as "pid,pid"; "null" when the call
// failed (errno as it set it), "none" when the listener is missing. Other
// namespaces have ports of their own, any of which may be `port`.
std::string listener_seen_through_c(unsigned port, std::uint32_t what = SOCKSCOPE_ALL) {
    const std::uint64_t own_netns = netns_of(0);
    sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
    selection.what = what;
    sockscope_snapshot* snapshot = sockscope_snapshot_take(&selection);
    if (snapshot == nullptr) return "null";
    std::string seen = "none";
    for (std::size_t i = 0; i < snapshot->count; ++i) {
        const sockscope_socket* socket = sockscope_socket_at(snapshot, i);
        if (socket->protocol != IPPROTO_TCP || socket->local_port != port || socket->state != SOCKSCOPE_LISTEN ||
            std::strcmp(socket->local_text, "127.0.0.1") != 0 || socket->netns != own_netns)
            continue;
        seen.clear();
        for (std::uint32_t k = 0; k < socket->owner_count; ++k)
            seen += (k ? "," : "") + std::to_string(sockscope_owner_at(snapshot, socket, k)->pid);
    }
    sockscope_snapshot_free(snapshot);
    return seen;
}

// Fills the descriptor table so that exactly `spare` descriptors are left.
bool leave_spare_descriptors(int spare) {
    const rlimit limit{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    std::vector<int> taken;
    for (int fd; (fd = dup(0)) >= 0;) taken.push_back(fd);
    if (errno != EMFILE || static_cast<int>(taken.size()) < spare) return false;
    for (int i = 0; i < spare; ++i) {
        close(taken.back());
        taken.pop_back();
    }
    return true;
}

// Every member with 0 to 4 descriptors to spare: the parent's listener is
// found with its owner and name, or the call fails with EMFILE.
TEST(ResourceLimits, FewDescriptorsGiveRightAnswersOrEmfile) {
    if (sanitized) GTEST_SKIP() << "sanitizers need descriptors of their own";
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const int listener_fd = listener.fd();
    const unsigned port = listener.port();
    const auto parent = static_cast<std::uint32_t>(getpid());
    const std::u16string parent_name = utf16(own_name());
    const std::string child_name = unique_name("fds");
    ChildProcess child(test_child_named(child_name), {"tcp-listen", "127.0.0.1"});
    const auto child_id = static_cast<std::uint32_t>(child.pid());
    const unsigned child_port = child.ports().at(0);
    const std::u16string child_name16 = utf16(child_name);
    for (int spare = 0; spare <= 4; ++spare) {
        const std::string failure = run_isolated([&]() -> std::string {
            close(listener_fd); // the listener stays the parent's alone
            if (!leave_spare_descriptors(spare)) return "skip: cannot fill the descriptor table";
            sockscope library;
            std::string fault;
            errno = 0;
            statTCPROW* rows = library.getstat_tcp();
            const int snapshot_errno = errno;
            if (rows == nullptr) {
                if (snapshot_errno != EMFILE) fault += "null snapshot with errno " + std::to_string(snapshot_errno) + "; ";
            } else {
                const statTCPROW* row = find_listener(rows, port);
                if (!well_formed(rows)) fault += "malformed snapshot; ";
                if (row == nullptr) fault += "listener missing; ";
                else if (row->PID != parent || row->ProcessName == nullptr || row->ProcessName != parent_name)
                    fault += "listener's owner is " + std::to_string(row->PID) + "; ";
                library.getstat_free(rows);
            }
            errno = 0;
            const std::uint32_t id = library.getProcessId(child_name16.c_str());
            if (id != child_id && !(id == 0 && errno == EMFILE)) fault += "getProcessId gave " + std::to_string(id) + "; ";
            errno = 0;
            const std::uint32_t child_answer = library.getnetPort_gx2(child_name16.c_str());
            if (child_answer != child_port && !(child_answer == 0 && errno == EMFILE))
                fault += "getnetPort_gx2 gave " + std::to_string(child_answer) + "; ";
            for (const std::uint32_t what : {SOCKSCOPE_ALL, SOCKSCOPE_ALL | SOCKSCOPE_ALL_NAMESPACES}) {
                errno = 0;
                const std::string c_answer = listener_seen_through_c(port, what);
                if (c_answer != std::to_string(parent) && !(c_answer == "null" && errno == EMFILE))
                    fault += "sockscope_snapshot_take: " + c_answer + "; ";
                if (spare == 4 && c_answer == "null") fault += "the C call failed with four spare descriptors; ";
            }
            // With four to spare, the work fits.
            if (spare == 4 && (rows == nullptr || id != child_id || child_answer != child_port))
                fault += "failed with four spare descriptors; ";
            return fault;
        });
        if (failure.rfind("skip:", 0) == 0) GTEST_SKIP() << failure;
        EXPECT_EQ(failure, "") << spare << " spare descriptors";
    }
}

struct SmallStackRun {
    std::u16string name;
    std::uint32_t id = 0;
    unsigned port = 0;
    std::string fault;
};

void* every_member(void* argument) {
    auto& run = *static_cast<SmallStackRun*>(argument);
    sockscope library;
    statTCPROW* tcp = library.getstat_tcp();
    if (tcp == nullptr || find_listener(tcp, run.port) == nullptr || find_listener(tcp, run.port)->PID != run.id)
        run.fault += "getstat_tcp; ";
    library.getstat_free(tcp);
    statUDPROW* udp = library.getstat_udp();
    if (udp == nullptr) run.fault += "getstat_udp; ";
    library.getstat_free(udp);
    if (library.getProcessId(run.name.c_str()) != run.id) run.fault += "getProcessId; ";
    if (library.getnetPort_gx2(run.name.c_str()) != run.port) run.fault += "getnetPort_gx2; ";
    if (listener_seen_through_c(run.port) != std::to_string(run.id)) run.fault += "sockscope_snapshot_take; ";
    return nullptr;
}

// Thread pools and other runtimes make threads with 32 KiB stacks.
TEST(ResourceLimits, EveryMemberRunsOnA32KiBStack) {
    if (sanitized) GTEST_SKIP() << "sanitizers need more stack than callers do";
    const std::string name = unique_name("stack");
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1"});
    SmallStackRun run{utf16(name), static_cast<std::uint32_t>(child.pid()), child.ports().at(0), ""};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 32 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, every_member, &run), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_EQ(run.fault, "");
}

} // namespace

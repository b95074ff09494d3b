// SPDX-License-Identifier: MIT
// The BPF owner source against the truth of /proc/<id>/fd, for the ways a
// process comes to hold a socket: opened, inherited across fork, passed over
// a unix socket, duplicated to a high number or many times over; and a
// descriptor that looks like a socket but is not one (O_PATH of a unix
// socket's file). Skipped where the iterator can't run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/bpf_socket_holders_fixture.h"
#include "support/descriptor_passing.h"
#include "support/holding_child.h"
#include "support/isolated_child.h"
#include "support/loopback_sockets.h"
#include "support/socket_descriptors.h"

using namespace sockscope_test;

namespace {

TEST_F(BpfSocketHolders, OwnDescriptorsMatchProc) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    const auto udp = TestSocket::udp_socket("127.0.0.1");
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);

    const auto holders = read();
    const SocketDescriptors mine = socket_descriptors_of(holders, own_id());
    EXPECT_EQ(mine, socket_descriptors_from_proc(getpid()));
    EXPECT_TRUE(mine.contains({listener.fd(), socket_inode(listener.fd())}));
    EXPECT_TRUE(mine.contains({pair[1], socket_inode(pair[1])}));
    close(pair[0]);
    close(pair[1]);
}

TEST_F(BpfSocketHolders, EveryCallReadsAfresh) {
    const auto kept = TestSocket::udp_socket("127.0.0.1");
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const std::uint64_t inode = socket_inode(fd);
    EXPECT_EQ(holders_of(read(), inode), std::vector<std::uint32_t>{own_id()});
    close(fd);
    const auto after = read();
    EXPECT_TRUE(holders_of(after, inode).empty());
    EXPECT_EQ(holders_of(after, socket_inode(kept.fd())), std::vector<std::uint32_t>{own_id()});
}

TEST_F(BpfSocketHolders, SocketSharedAcrossForkHasBothHolders) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    HoldingChild child([] { return 0; });
    ASSERT_EQ(child.reported(), 0);

    const auto holders = read();
    const auto child_id = static_cast<std::uint32_t>(child.pid());
    std::vector<std::uint32_t> both{own_id(), child_id};
    std::ranges::sort(both); // ids wrap: the child's may be the lower one
    EXPECT_EQ(holders_of(holders, socket_inode(listener.fd())), both);
    EXPECT_EQ(socket_descriptors_of(holders, child_id), socket_descriptors_from_proc(child.pid()));
}

TEST_F(BpfSocketHolders, SocketPassedOverUnixSocketIsHeldByItsReceiver) {
    int channel[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel), 0);
    HoldingChild child([&] { return receive_descriptor(channel[1]); });
    // Made after the fork: the child holds it only because it was sent.
    int passed = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(passed, 0);
    const std::uint64_t inode = socket_inode(passed);
    ASSERT_TRUE(send_descriptor(channel[0], passed));
    close(passed);
    const int received = child.reported();
    ASSERT_GE(received, 0);

    const auto holders = read();
    const auto child_id = static_cast<std::uint32_t>(child.pid());
    EXPECT_EQ(holders_of(holders, inode), std::vector<std::uint32_t>{child_id});
    const SocketDescriptors childs = socket_descriptors_of(holders, child_id);
    EXPECT_TRUE(childs.contains({static_cast<std::uint32_t>(received), inode}));
    EXPECT_EQ(childs, socket_descriptors_from_proc(child.pid()));
    close(channel[0]);
    close(channel[1]);
}

TEST_F(BpfSocketHolders, HighDescriptorNumber) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t wanted = 60000;
    const rlim_t high = std::min<rlim_t>(wanted, limit.rlim_max - 1);
    rlimit raised = limit;
    raised.rlim_cur = std::max<rlim_t>(limit.rlim_cur, high + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const int fd = dup3(listener.fd(), static_cast<int>(high), O_CLOEXEC);
    ASSERT_EQ(fd, static_cast<int>(high));

    const auto holders = read();
    const SocketDescriptors mine = socket_descriptors_of(holders, own_id());
    EXPECT_TRUE(mine.contains({static_cast<std::uint32_t>(high), socket_inode(listener.fd())}));
    EXPECT_EQ(mine, socket_descriptors_from_proc(getpid()));
    close(fd);
    setrlimit(RLIMIT_NOFILE, &limit);
}

// More records than the kernel hands out in one read (its buffer holds
// 2,048): the output comes in several reads and must be gathered whole.
TEST_F(BpfSocketHolders, ManyDescriptorsSpanSeveralReads) {
    constexpr int copies = 5000;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < copies + 256) GTEST_SKIP() << "descriptor limit too low";
    rlimit raised = limit;
    raised.rlim_cur = std::max<rlim_t>(limit.rlim_cur, copies + 256);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    const auto socket = TestSocket::udp_socket("127.0.0.1");
    std::vector<int> duplicates;
    for (int i = 0; i < copies; ++i) {
        const int fd = fcntl(socket.fd(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0) break;
        duplicates.push_back(fd);
    }
    ASSERT_EQ(duplicates.size(), static_cast<std::size_t>(copies));

    const SocketDescriptors mine = socket_descriptors_of(read(), own_id());
    EXPECT_GT(mine.size(), static_cast<std::size_t>(copies));
    EXPECT_EQ(mine, socket_descriptors_from_proc(getpid()));
    for (const int fd : duplicates) close(fd);
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(BpfSocketHolders, OPathDescriptorOfUnixSocketFileIsNoSocket) {
    char folder[] = "/tmp/sockscope-bpf-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/bound";
    const int bound = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(bound, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const int file = open(path.c_str(), O_PATH | O_CLOEXEC);
    ASSERT_GE(file, 0);

    const SocketDescriptors mine = socket_descriptors_of(read(), own_id());
    EXPECT_TRUE(mine.contains({bound, socket_inode(bound)}));
    for (const auto& [fd, inode] : mine) EXPECT_NE(fd, static_cast<std::uint32_t>(file)) << "inode " << inode;
    EXPECT_EQ(mine, socket_descriptors_from_proc(getpid()));
    close(file);
    close(bound);
    unlink(path.c_str());
    rmdir(folder);
}

// A load that failed for want of descriptors is tried again once its
// back-off has passed, and not before.
TEST_F(BpfSocketHolders, AFailedLoadIsTriedAgainAfterItsBackOff) {
    using sockscope_detail::load_retry_delay;
    EXPECT_EQ(load_retry_delay(1), std::chrono::seconds(1));
    EXPECT_EQ(load_retry_delay(2), std::chrono::seconds(2));
    EXPECT_EQ(load_retry_delay(11), std::chrono::minutes(10));
    EXPECT_EQ(load_retry_delay(64), std::chrono::minutes(10));
    if (sockscope_detail::socket_holders_loaded()) GTEST_SKIP() << "loaded earlier in this process";
    const std::string fault = run_isolated([]() -> std::string {
        // Every descriptor number below 512 taken but two.
        rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        const rlimit few{512, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &few) != 0) return "skip: cannot lower the descriptor limit";
        std::vector<int> fillers;
        for (int fd; (fd = dup(STDIN_FILENO)) >= 0;) fillers.push_back(fd);
        close(fillers.back());
        fillers.pop_back();
        close(fillers.back());
        fillers.pop_back();
        const bool loaded_short = sockscope_detail::read_socket_holders().ok();
        for (const int fd : fillers) close(fd);
        setrlimit(RLIMIT_NOFILE, &limit);
        if (loaded_short) return "skip: the load needs fewer descriptors than the test thought";
        if (sockscope_detail::read_socket_holders()) return "tried again at once";
        std::this_thread::sleep_for(load_retry_delay(1) + std::chrono::milliseconds(100));
        return sockscope_detail::read_socket_holders() ? "" : "not tried again after its back-off";
    });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
}

} // namespace

// SPDX-License-Identifier: MIT
// Loading and unloading the socket holders iterator: what a load keeps,
// what a failed one leaves behind (nothing), and a load made inside a PID
// namespace. Built only into libraries that have the iterator.
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/bpf.h>
#include <set>
#include <string>
#include <unistd.h>

#include "linux/libbpf_library.h"
#include "linux/socket_holders_iterator.h"
#include "support/isolated_child.h"
#include "support/loopback_sockets.h"
#include "support/pid_namespace_view.h"
#include "support/refuse_bpf.h"
#include "support/socket_descriptors.h"

using namespace sockscope_test;
using sockscope_detail::libbpf_file;
using sockscope_detail::Result;
using sockscope_detail::SocketHolders;
using sockscope_detail::SocketHoldersIterator;

namespace {

std::set<int> open_descriptors() {
    std::set<int> found;
    DIR* listing = opendir("/proc/self/fd");
    if (listing == nullptr) return found;
    while (const dirent* entry = readdir(listing))
        if (entry->d_name[0] != '.') found.insert(std::atoi(entry->d_name));
    found.erase(dirfd(listing));
    closedir(listing);
    return found;
}

class SocketHoldersIteratorTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = why_bpf_unavailable();
        if (!why.empty()) GTEST_SKIP() << "BPF iterator not expected to work here: " << why;
    }
};

TEST(SocketHoldersIteratorLoad, NoLibbpfMeansNoIterator) {
    const std::set<int> before = open_descriptors();
    EXPECT_FALSE(SocketHoldersIterator::load("/nonexistent/libbpf.so.1").ok());
    // A library that opens but lacks libbpf's functions.
    EXPECT_FALSE(SocketHoldersIterator::load("libc.so.6").ok());
    EXPECT_EQ(open_descriptors(), before);
}

TEST_F(SocketHoldersIteratorTest, KeepsOnlyCloseOnExecDescriptorsAndReleasesThem) {
    const auto socket = TestSocket::udp_socket("127.0.0.1");
    const std::set<int> before = open_descriptors();
    auto loaded = SocketHoldersIterator::load(libbpf_file);
    ASSERT_TRUE(loaded.ok());
    std::unique_ptr<SocketHoldersIterator> iterator = std::move(*loaded);
    const std::set<int> kept = open_descriptors();
    std::size_t added = 0;
    for (const int fd : kept) {
        if (before.contains(fd)) continue;
        ++added;
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << fd << " survives exec";
    }
    EXPECT_GT(added, 0u);

    const auto holders = iterator->read();
    ASSERT_TRUE(holders.ok());
    EXPECT_EQ(holders_of(*holders, socket_inode(socket.fd())), std::vector{static_cast<std::uint32_t>(getpid())});
    EXPECT_EQ(open_descriptors(), kept) << "a read left a descriptor open";

    iterator.reset();
    EXPECT_EQ(open_descriptors(), before);
}

// A load that fails in `situation` (set up in a child) must leave no
// descriptor behind. (Memory: bpf_load_cycles, run under valgrind.)
std::string failed_load_leaves_nothing(const std::function<bool()>& situation) {
    return run_isolated([&]() -> std::string {
        const std::set<int> descriptors = open_descriptors();
        if (!situation()) return "skip: cannot set up the situation";
        if (SocketHoldersIterator::load(libbpf_file).ok()) return "the load succeeded";
        return open_descriptors() == descriptors ? "" : "a failed load left descriptors open";
    });
}

TEST_F(SocketHoldersIteratorTest, RefusedProgramLeavesNothingBehind) {
    EXPECT_EQ(failed_load_leaves_nothing([] { return refuse_bpf_command(BPF_PROG_LOAD); }), "");
}

TEST_F(SocketHoldersIteratorTest, RefusedAttachmentLeavesNothingBehind) {
    // The program is in the kernel by then: it must be unloaded again.
    EXPECT_EQ(failed_load_leaves_nothing([] { return refuse_bpf_command(BPF_LINK_CREATE); }), "");
}

TEST_F(SocketHoldersIteratorTest, UnprivilegedLoadLeavesNothingBehind) {
    EXPECT_EQ(failed_load_leaves_nothing([] {
                  constexpr uid_t nobody = 65534;
                  return setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0;
              }),
              "");
}

TEST_F(SocketHoldersIteratorTest, RefusedIteratorFailsTheRead) {
    const std::string fault = run_isolated([]() -> std::string {
        const auto iterator = SocketHoldersIterator::load(libbpf_file);
        if (!iterator) return "load failed";
        if (!refuse_bpf_command(BPF_ITER_CREATE)) return "skip: cannot install the filter";
        const std::set<int> descriptors = open_descriptors();
        if ((*iterator)->read().ok()) return "a refused read gave an answer";
        return open_descriptors() == descriptors ? "" : "a refused read left a descriptor open";
    });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
}

TEST_F(SocketHoldersIteratorTest, LoadedInsideAPidNamespace) {
    const auto outside = TestSocket::udp_socket("127.0.0.1");
    const std::string fault = check_pid_namespace_view(outside.fd(), []() -> Result<SocketHolders> {
        const auto iterator = SocketHoldersIterator::load(libbpf_file);
        if (!iterator) return iterator.failure();
        return (*iterator)->read();
    });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
}

} // namespace

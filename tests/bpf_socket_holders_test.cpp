// The BPF owner source against the truth of /proc/<id>/fd, on sockets and
// processes the tests make: shared by fork, passed over a unix socket, at a
// high descriptor number, inside a PID namespace, in a threaded process,
// and while processes come and go. Skipped where the iterator can't run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <latch>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "linux/bpf_socket_holders.h"
#include "support/holding_child.h"
#include "support/loopback_sockets.h"
#include "support/pid_namespace_view.h"
#include "support/socket_descriptors.h"

using namespace sockscope_test;
using sockscope_detail::read_socket_holders;
using sockscope_detail::SocketHolder;

namespace {

std::uint32_t own_id() { return static_cast<std::uint32_t>(getpid()); }

class BpfSocketHolders : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = why_bpf_unavailable();
        if (!why.empty()) GTEST_SKIP() << "BPF iterator not expected to work here: " << why;
    }

    // One pass, which must succeed and be well formed.
    static std::vector<SocketHolder> read() {
        auto holders = read_socket_holders();
        if (!holders) {
            ADD_FAILURE() << "the iterator is unavailable";
            return {};
        }
        EXPECT_EQ(malformed(*holders), "");
        return std::move(*holders);
    }
};

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
    EXPECT_EQ(holders_of(holders, socket_inode(listener.fd())), (std::vector<std::uint32_t>{own_id(), child_id}));
    EXPECT_EQ(socket_descriptors_of(holders, child_id), socket_descriptors_from_proc(child.pid()));
}

// Sends descriptor `fd` over the unix socket `channel`.
bool send_descriptor(int channel, int fd) {
    char byte = 'x';
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    return sendmsg(channel, &message, 0) == 1;
}

// Receives a descriptor over `channel`; -1 when none came.
int receive_descriptor(int channel) {
    char byte;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(channel, &message, MSG_CMSG_CLOEXEC) != 1) return -1;
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (header == nullptr || header->cmsg_type != SCM_RIGHTS) return -1;
    int fd;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
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

TEST_F(BpfSocketHolders, PidNamespaceSeesItsOwnNumbers) {
    // Loaded here first, so the namespace's processes use the program they
    // inherit across fork, loaded in a namespace above theirs.
    ASSERT_TRUE(read_socket_holders().has_value());
    const auto outside = TestSocket::udp_socket("127.0.0.1");
    const std::string fault = check_pid_namespace_view(outside.fd(), [] { return read_socket_holders(); });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
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
// most 3 s or 1,000 processes, whichever comes first.
std::atomic<bool> stop_churning{false};

void churn() {
    std::signal(SIGTERM, [](int) { stop_churning = true; });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int running = 0;
    for (int started = 0; started < 1000 && !stop_churning && std::chrono::steady_clock::now() < end; ++started) {
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

// Sets an environment variable for one scope, putting back what was there.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value, 1);
    }
    ~ScopedVariable() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(BpfSocketHoldersSwitch, OwnerScanProcTurnsTheIteratorOff) {
    {
        const ScopedVariable scan("SOCKSCOPE_OWNER_SCAN", "proc");
        EXPECT_FALSE(read_socket_holders().has_value());
    }
    const std::string why = why_bpf_unavailable();
    if (!why.empty()) GTEST_SKIP() << "BPF iterator not expected to work here: " << why;
    // Read on every call, not once: another value, or none, turns it on.
    {
        const ScopedVariable scan("SOCKSCOPE_OWNER_SCAN", "bpf");
        EXPECT_TRUE(read_socket_holders().has_value());
    }
    EXPECT_TRUE(read_socket_holders().has_value());
}

} // namespace

// SPDX-License-Identifier: MIT
// Processes that are odd on purpose or by accident: one that holds a file
// and runs an executable whose paths are too long for the kernel to show,
// one whose main thread ended while its other threads run, one that shares
// a listener with its parent. Each is answered right, and none of them can
// fail or disguise the answer about anyone else.
#include <cerrno>
#include <csignal>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/prctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include <sockscope/sockscope.h>

#include "support/holding_child.h"
#include "support/child_process.h"
#include "support/loopback_sockets.h"
#include "support/own_name.h"

using namespace sockscope_test;

namespace {

constexpr uid_t nobody = 65534;

// A chain of folders whose whole path is longer than the kernel shows in a
// link (a page), made and removed through descriptors.
class DeepFolder {
public:
    DeepFolder() {
        char pattern[] = "/tmp/sockscope-deep-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        top_ = pattern;
        chmod(pattern, 0755);
        int fd = open(pattern, O_DIRECTORY | O_CLOEXEC);
        const std::string component(200, 'd');
        for (int depth = 0; depth < 24 && fd >= 0; ++depth) {
            mkdirat(fd, component.c_str(), 0755);
            const int next = openat(fd, component.c_str(), O_DIRECTORY | O_CLOEXEC);
            close(fd);
            fd = next;
        }
        fd_ = fd;
    }
    ~DeepFolder() {
        if (fd_ >= 0) close(fd_);
        if (!top_.empty()) remove_tree(AT_FDCWD, top_.c_str());
    }
    int fd() const { return fd_; }

    // Copies `program` into the deepest folder as `name`.
    bool copy_in(const char* program, const std::string& name) const {
        const int from = open(program, O_RDONLY | O_CLOEXEC);
        const int to = openat(fd_, name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0755);
        struct stat size {};
        bool copied = from >= 0 && to >= 0 && fstat(from, &size) == 0;
        for (off_t done = 0; copied && done < size.st_size;) {
            const ssize_t sent = sendfile(to, from, nullptr, static_cast<std::size_t>(size.st_size - done));
            copied = sent > 0;
            done += sent;
        }
        if (from >= 0) close(from);
        if (to >= 0) close(to);
        return copied;
    }

private:
    static void remove_tree(int parent, const char* name) {
        const int fd = openat(parent, name, O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (DIR* folder = fd >= 0 ? fdopendir(fd) : nullptr) {
            while (const dirent* entry = readdir(folder)) {
                const std::string_view entry_name = entry->d_name;
                if (entry_name == "." || entry_name == "..") continue;
                if (entry->d_type == DT_DIR) remove_tree(dirfd(folder), entry->d_name);
                else unlinkat(dirfd(folder), entry->d_name, 0);
            }
            closedir(folder);
        }
        unlinkat(parent, name, AT_REMOVEDIR);
    }

    std::string top_;
    int fd_ = -1;
};

// Polls `holds` for up to five seconds.
template <typename Condition>
bool eventually(Condition holds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!holds()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The owner and name that a TCP snapshot gives the socket with these ends,
// as "pid name", on three calls in a row: the first reads owners from
// /proc, later ones from the kernel iterator where the caller may load it.
std::string owner_seen(const Endpoint& local, const Endpoint& remote) {
    std::string seen;
    sockscope library;
    for (int call = 0; call < 3; ++call) {
        statTCPROW* rows = library.getstat_tcp();
        if (rows == nullptr) return "the snapshot failed: " + std::string(strerror(errno));
        std::string row_seen = "no row";
        for (std::uint32_t i = 0; i < rows[0].size; ++i) {
            const statTCPROW& row = rows[i];
            if (Endpoint{row.LocalAddr, row.LocalPort} != local || Endpoint{row.RemoteAddr, row.RemotePort} != remote)
                continue;
            std::string name = row.ProcessName == nullptr ? "<no name>" : "";
            for (const char16_t* unit = row.ProcessName; unit != nullptr && *unit != 0; ++unit)
                name += static_cast<char>(*unit); // the tests' names are ASCII
            row_seen = std::to_string(row.PID) + " " + name;
        }
        library.getstat_free(rows);
        if (call > 0 && row_seen != seen) return "the calls disagree: " + seen + " / " + row_seen;
        seen = row_seen;
    }
    return seen;
}

std::string owner_seen(const TestSocket& socket) { return owner_seen(socket.local(), socket.peer()); }

// A child's id and name as owner_seen shows them.
std::string as_owner(const HoldingChild& child, const std::string& name) {
    return std::to_string(child.pid()) + " " + name;
}

TEST(HostileProcesses, PathsTooLongToShowDenyNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the process as another user";
    const DeepFolder deep;
    const std::string name = "long-sleeper-" + unique_name("n"); // comm is its first 15 bytes
    ASSERT_GE(deep.fd(), 0);
    ASSERT_TRUE(deep.copy_in("/bin/sleep", name));

    std::optional<TestSocket> listener(TestSocket::tcp_listener("127.0.0.1"));
    const Endpoint local = listener->local(), remote = listener->peer();
    const int listener_fd = listener->fd();
    const int deep_fd = deep.fd();
    const pid_t test = getpid();
    HoldingChild sleeper(
        [&] {
            // A descriptor of a file too deep to name, then the listener on
            // a higher number: both survive the exec below.
            const int held = openat(deep_fd, "held", O_CREAT | O_RDWR, 0644);
            const int kept = fcntl(listener_fd, F_DUPFD, held + 1);
            return held >= 0 && kept > held ? 0 : -1;
        },
        [&] {
            if (fchdir(deep_fd) != 0 || setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
                _exit(1);
            // A change of user clears the signal that ends it with the test.
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != test) _exit(1);
            execl(("./" + name).c_str(), name.c_str(), "600", static_cast<char*>(nullptr));
            _exit(127);
        });
    ASSERT_EQ(sleeper.reported(), 0);
    listener.reset(); // the sleeper holds it alone
    const std::string exe = "/proc/" + std::to_string(sleeper.pid()) + "/exe";
    ASSERT_TRUE(eventually([&] {
        char target[64];
        return readlink(exe.c_str(), target, sizeof target) < 0 && errno == ENAMETOOLONG;
    })) << "the sleeper did not start from its deep folder";

    EXPECT_EQ(owner_seen(local, remote), as_owner(sleeper, name)); // its long name from argv[0]
    sockscope library;
    errno = 0;
    EXPECT_EQ(library.getProcessId(u"no-process-has-this-name"), 0u);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(library.getProcessId(utf16(name).c_str()), static_cast<std::uint32_t>(sleeper.pid()));
    EXPECT_EQ(library.getnetPort_gx2(utf16(name).c_str()), local.port);
}

// A process whose main thread called pthread_exit shows as a zombie in
// /proc/<id>/stat and has no descriptors in /proc/<id>/fd, yet it runs.
TEST(HostileProcesses, AProcessWhoseMainThreadEndedStillOwnsItsSockets) {
    const std::string name = unique_name("zl");
    std::optional<TestSocket> listener(TestSocket::tcp_listener("127.0.0.1"));
    const Endpoint local = listener->local(), remote = listener->peer();
    HoldingChild process(
        [&] { return prctl(PR_SET_NAME, name.c_str()); },
        [] {
            pthread_t worker;
            pthread_create(&worker, nullptr, [](void*) -> void* { for (;;) pause(); }, nullptr);
            // What pthread_exit does, without unwinding this copy of the
            // test program's stack: only the calling thread ends.
            syscall(SYS_exit, 0);
        });
    ASSERT_EQ(process.reported(), 0);
    listener.reset();
    const std::string stat = "/proc/" + std::to_string(process.pid()) + "/stat";
    ASSERT_TRUE(eventually([&] {
        std::string line;
        std::getline(std::ifstream(stat), line);
        return line.find(") Z ") != std::string::npos;
    })) << "the main thread did not end";

    EXPECT_EQ(owner_seen(local, remote), as_owner(process, name));
    EXPECT_EQ(sockscope().getProcessId(utf16(name).c_str()), static_cast<std::uint32_t>(process.pid()));
}

// A worker forked by a server holds the server's listener: looked up by the
// worker's name, that is its port, although the server is (mostly: ids
// wrap) the lower id.
TEST(HostileProcesses, ANamedProcessHoldsTheListenerItShares) {
    const std::string name = unique_name("wk");
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    HoldingChild worker([&] { return prctl(PR_SET_NAME, name.c_str()); });
    ASSERT_EQ(worker.reported(), 0);
    const std::string lowest =
        worker.pid() < getpid() ? as_owner(worker, name) : std::to_string(getpid()) + " " + own_name();
    EXPECT_EQ(owner_seen(listener), lowest);
    EXPECT_EQ(sockscope().getnetPort_gx2(utf16(name).c_str()), listener.port());
}

} // namespace

// SPDX-License-Identifier: MIT
// An owner's name is its own, never a newcomer's that took its id between
// the owner scan and the reading of names. The test makes that happen on
// purpose: in a private PID namespace it ends the owner and starts a new
// process under the same id (by writing ns_last_pid) between the two stages.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "linux/owner_names.h"
#include "linux/proc_fs.h"
#include "linux/proc_owner_scan.h"
#include "linux/process_image.h"
#include "support/isolated_child.h"
#include "support/loopback_sockets.h"
#include "support/results.h"

using namespace sockscope_detail;
using sockscope_test::TestSocket;
using sockscope_test::ok;

namespace {

// Starts a process named `name` that holds whatever it inherited and, when
// `socket_at` is not -1, a new socket on that descriptor; it waits until its
// pipe closes. Returns its id.
pid_t start_holder(const char* name, int socket_at, int& hold) {
    int pipe_fds[2], ready[2];
    if (pipe(pipe_fds) != 0 || pipe(ready) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[1]);
        close(ready[0]);
        prctl(PR_SET_NAME, name, 0, 0, 0);
        if (socket_at >= 0) dup2(socket(AF_INET, SOCK_STREAM, 0), socket_at);
        close(ready[1]);
        char c;
        while (read(pipe_fds[0], &c, 1) > 0) {
        }
        _exit(0);
    }
    close(pipe_fds[0]);
    close(ready[1]);
    char c;
    while (read(ready[0], &c, 1) > 0) { // until the child closes it: set up
    }
    close(ready[0]);
    hold = pipe_fds[1];
    return child;
}

// Runs as init of a new PID namespace; returns "" or the fault.
std::string reuse_an_owners_id() {
    char proc_dir[] = "/tmp/sockscope-proc-XXXXXX";
    if (mkdtemp(proc_dir) == nullptr || mount("proc", proc_dir, "proc", 0, nullptr) != 0)
        return std::string("skip: cannot mount a private /proc: ") + std::strerror(errno);
    std::string fault;
    {
        const ProcRoot root(proc_dir);
        const auto listener = TestSocket::tcp_listener("127.0.0.1");
        struct stat file;
        fstat(listener.fd(), &file);
        SocketRow row;
        row.inode = file.st_ino;

        int old_hold = -1, new_hold = -1;
        const pid_t owner = start_holder("old-owner", -1, old_hold);
        ::close(listener.fd()); // from now on only the owner holds it
        const SocketRow rows[] = {row};
        SocketOwners owners(rows);
        if (!ProcOwnerScan(root, 0, 1).find_owners(owners)) fault += "the scan failed; ";
        if (owners.owner_of(row.inode) != static_cast<std::uint32_t>(owner)) fault += "owner not found; ";
        const OwnerNames before = ok(read_owner_names(owners, root));
        if (before.find(owner) == nullptr || *before.find(owner) != "old-owner") fault += "owner's name not read; ";

        // The owner ends and a newcomer takes its id, holding another
        // socket on the same descriptor number.
        kill(owner, SIGKILL);
        waitpid(owner, nullptr, 0);
        const std::string last = std::to_string(owner - 1);
        const int ns_last_pid = open((std::string(proc_dir) + "/sys/kernel/ns_last_pid").c_str(), O_WRONLY);
        const bool set = ns_last_pid >= 0 && write(ns_last_pid, last.data(), last.size()) > 0;
        if (ns_last_pid >= 0) close(ns_last_pid);
        const int fd = static_cast<int>(owners.holder_of_each_owner().at(0).fd);
        const pid_t newcomer = set ? start_holder("newcomer", fd, new_hold) : -1;
        if (newcomer != owner) {
            fault = "skip: the id was not reused";
        } else {
            const UniqueFd process = ok(open_process(*root.fd(), static_cast<std::uint32_t>(newcomer)));
            ProcessImage image;
            const auto names = ok(image.names(process.get(), static_cast<std::uint32_t>(newcomer)));
            if (!names || names->image != "newcomer") fault += "newcomer not in place; ";
            const OwnerNames after = ok(read_owner_names(owners, root));
            if (after.find(owner) != nullptr) fault += "the newcomer's name was given: " + *after.find(owner) + "; ";
        }
        close(old_hold);
        if (new_hold >= 0) close(new_hold);
        if (newcomer > 0) waitpid(newcomer, nullptr, 0);
    }
    umount(proc_dir);
    rmdir(proc_dir);
    return fault;
}

TEST(OwnerIdentity, ANewcomerWithTheOwnersIdGetsNoName) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a PID namespace";
    const std::string result = sockscope_test::run_isolated([]() -> std::string {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("skip: no namespaces: ") + std::strerror(errno);
        int report[2];
        if (pipe(report) != 0) return "pipe failed";
        const pid_t init = fork(); // the namespace's first process
        if (init == 0) {
            close(report[0]);
            const std::string fault = reuse_an_owners_id();
            (void)!write(report[1], fault.data(), fault.size());
            _exit(0);
        }
        close(report[1]);
        std::string fault;
        char buffer[256];
        for (ssize_t got; (got = read(report[0], buffer, sizeof buffer)) > 0;) fault.append(buffer, static_cast<std::size_t>(got));
        waitpid(init, nullptr, 0);
        return fault;
    });
    if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
    EXPECT_EQ(result, "");
}

} // namespace

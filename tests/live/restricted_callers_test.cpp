// SPDX-License-Identifier: MIT
// Callers with less than root's view of the system: an unprivileged user,
// a sandbox that refuses netlink, one where /proc is not there at all.
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <sockscope/sockscope.h>

#include "support/isolated_child.h"
#include "support/loopback_sockets.h"
#include "support/snapshot_checks.h"

using namespace sockscope_test;

namespace {

constexpr uid_t nobody = 65534;

// The listener on 127.0.0.1:`port`: another process may listen on the same
// port at another address.
const statTCPROW* find_listener(const statTCPROW* rows, unsigned port) {
    for (std::uint32_t i = 0; i < rows[0].size; ++i)
        if (rows[i].LocalPort == port && rows[i].Statenum == 2 && rows[i].LocalAddr != nullptr &&
            std::strcmp(rows[i].LocalAddr, "127.0.0.1") == 0)
            return &rows[i];
    return nullptr;
}

// "local:port remote:port state pid" of every row that is one of `sockets`,
// one a line.
std::string rows_of(const statTCPROW* rows, std::initializer_list<const TestSocket*> sockets) {
    std::string text;
    for (std::uint32_t i = 0; i < rows[0].size; ++i) {
        const statTCPROW& r = rows[i];
        if (!record_is_one_of(r, sockets)) continue;
        text += std::string(r.LocalAddr) + ":" + std::to_string(r.LocalPort) + " " + r.RemoteAddr + ":" +
                std::to_string(r.RemotePort) + " " + r.Statestr + " " + std::to_string(r.PID) + "\n";
    }
    return text;
}

TEST(RestrictedCallers, UnprivilegedUserSeesOnlyItsOwnOwners) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    const auto roots = TestSocket::tcp_listener("127.0.0.1");
    const int roots_fd = roots.fd();
    const unsigned roots_port = roots.port();
    const std::string failure = run_isolated([&]() -> std::string {
        close(roots_fd); // the listener stays root's alone
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
            return "skip: cannot become nobody";
        // A process that changed user is not dumpable, which hides even its
        // own /proc entries; a process started as that user would be.
        prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
        const auto mine = TestSocket::tcp_listener("127.0.0.1");
        sockscope library;
        statTCPROW* rows = library.getstat_tcp();
        std::string fault;
        if (!well_formed(rows)) fault += "malformed snapshot; ";
        const statTCPROW* theirs = find_listener(rows, roots_port);
        const statTCPROW* own = find_listener(rows, mine.port());
        if (theirs == nullptr || theirs->PID != 0 || theirs->ProcessName != nullptr)
            fault += "root's listener is not ownerless; ";
        if (own == nullptr || own->PID != static_cast<std::uint32_t>(getpid()) || own->ProcessName == nullptr)
            fault += "own listener is not ours; ";
        library.getstat_free(rows);
        statUDPROW* udp = library.getstat_udp();
        if (!well_formed(udp)) fault += "malformed UDP snapshot; ";
        library.getstat_free(udp);
        return fault;
    });
    if (failure.rfind("skip:", 0) == 0) GTEST_SKIP() << failure;
    EXPECT_EQ(failure, "");
}

TEST(RestrictedCallers, NetlinkRefusedGivesTheSameRowsFromProcNet) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    sockscope library;
    statTCPROW* rows = library.getstat_tcp();
    const std::string expected = rows_of(rows, {&listener, &client, &server});
    library.getstat_free(rows);

    const std::string seen = run_isolated([&]() -> std::string {
        // Not a holder itself: with a lower id (ids wrap) it would be the owner.
        for (const TestSocket* socket : {&listener, &client, &server}) close(socket->fd());
        if (!refuse_netlink()) return "skip: cannot install a seccomp filter";
        sockscope refused;
        statTCPROW* fallback = refused.getstat_tcp();
        std::string text = well_formed(fallback) ? rows_of(fallback, {&listener, &client, &server}) : "malformed";
        refused.getstat_free(fallback);
        return text;
    });
    if (seen.rfind("skip:", 0) == 0) GTEST_SKIP() << seen;
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 3);
    EXPECT_EQ(seen, expected);
}

// With no table to read at all, a snapshot is a visible failure, not an
// empty table that looks whole.
TEST(RestrictedCallers, NothingToReadFailsVisibly) {
    const std::string failure = run_isolated([]() -> std::string {
        // A private mount namespace whose /proc is an empty folder.
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0)
            return std::string("skip: cannot hide /proc: ") + std::strerror(errno);
        if (!refuse_netlink()) return "skip: cannot install a seccomp filter";
        sockscope library;
        std::string fault;
        errno = 0;
        if (library.getstat_tcp() != nullptr || errno != ENOENT) fault += "TCP snapshot did not fail with ENOENT; ";
        errno = 0;
        if (library.getstat_udp() != nullptr || errno != ENOENT) fault += "UDP snapshot did not fail with ENOENT; ";
        errno = 0;
        if (library.getProcessId(u"init") != 0 || errno != ENOENT) fault += "getProcessId did not fail; ";
        errno = 0;
        if (library.getnetPort_gx2(u"init") != 0 || errno != ENOENT) fault += "getnetPort_gx2 did not fail; ";
        return fault;
    });
    if (failure.rfind("skip:", 0) == 0) GTEST_SKIP() << failure;
    EXPECT_EQ(failure, "");
}

} // namespace

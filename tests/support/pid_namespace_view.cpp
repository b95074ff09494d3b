// SPDX-License-Identifier: MIT
#include "pid_namespace_view.h"

#include <chrono>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include "holding_child.h"
#include "isolated_child.h"
#include "socket_descriptors.h"

namespace sockscope_test {
namespace {

std::string check_as_init(int outside_fd, const ReadHolders& read) {
    if (getpid() != 1) return "not the namespace's init but " + std::to_string(getpid());
    const std::uint64_t outside_inode = socket_inode(outside_fd);
    if (outside_inode == 0) return "no outside socket";
    close(outside_fd);
    const int shared = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (shared < 0) return "socket failed";
    const std::uint64_t inode = socket_inode(shared);
    HoldingChild second([] { return static_cast<int>(getpid()); });
    if (second.reported() != 2) return "the second process is not number 2";

    const auto holders = read();
    if (!holders) return "the iterator is unavailable inside the namespace";
    if (const std::string fault = malformed(*holders); !fault.empty()) return fault;
    for (const auto& holder : *holders)
        if (holder.process != 1 && holder.process != 2)
            return "process " + std::to_string(holder.process) + " is not in the namespace";
    if (holders_of(*holders, inode) != std::vector<std::uint32_t>{1, 2})
        return "the shared socket is not held by exactly 1 and 2";
    if (!socket_descriptors_of(*holders, 1).contains({static_cast<std::uint32_t>(shared), inode}))
        return "init's descriptor of the shared socket is missing";
    if (!holders_of(*holders, outside_inode).empty()) return "a socket held outside the namespace is shown";
    return "";
}

} // namespace

std::string check_pid_namespace_view(int outside_fd, const ReadHolders& read) {
    return run_isolated([&]() -> std::string {
        if (unshare(CLONE_NEWPID) != 0) return "skip: cannot make a PID namespace";
        // The first process forked after unshare is the namespace's init;
        // it has half the time, so that its own fault is what is reported.
        return run_isolated([&] { return check_as_init(outside_fd, read); }, std::chrono::seconds(30));
    });
}

} // namespace sockscope_test

// SPDX-License-Identifier: MIT
#include "linux/socket_destroyer.h"

#include <cerrno>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "core/netlink_messages.h"
#include "linux/system_call.h"

namespace sockscope_detail {

// The kernel answers at once; a silent socket is a failure, not a wait.
constexpr int receive_timeout_seconds = 10;

Result<SocketDestroyer> SocketDestroyer::open() {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd.valid()) return Failure{errno};
    const timeval limit{receive_timeout_seconds, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return SocketDestroyer(std::move(fd));
}

Result<void> SocketDestroyer::destroy(const SocketRow& row) {
    const std::uint32_t seq = ++seq_;
    const std::vector<unsigned char> request = make_destroy_request(row, seq);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const ssize_t sent = retrying([&] {
        return ::sendto(fd_.get(), request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&kernel),
                        sizeof kernel);
    });
    if (sent < 0) return Failure{errno};
    if (static_cast<std::size_t>(sent) != request.size()) return Failure{EPROTO};
    // The acknowledgement: an error message that carries the request back
    // (a few hundred bytes at most).
    for (;;) {
        unsigned char answer[1024];
        sockaddr_nl sender{};
        socklen_t sender_size = sizeof sender;
        const ssize_t got = retrying([&] {
            return ::recvfrom(fd_.get(), answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&sender), &sender_size);
        });
        if (got < 0) return Failure{errno};
        if (sender.nl_pid != 0) continue; // not from the kernel
        const int error = acknowledgement_error(answer, static_cast<std::size_t>(got), seq);
        if (error != 0) return Failure{error};
        return {};
    }
}

} // namespace sockscope_detail

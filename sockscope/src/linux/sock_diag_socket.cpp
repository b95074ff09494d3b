// SPDX-License-Identifier: MIT
#include "linux/sock_diag_socket.h"

#include <cerrno>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "linux/system_call.h"

namespace sockscope_detail {

constexpr int receive_timeout_seconds = 10;

Result<UniqueFd> open_sock_diag() {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd.valid()) return Failure{errno};
    const timeval limit{receive_timeout_seconds, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

Result<void> send_to_kernel(int fd, std::span<const unsigned char> request) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const ssize_t sent = retrying([&] {
        return ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&kernel),
                        sizeof kernel);
    });
    if (sent < 0) return Failure{errno};
    if (static_cast<std::size_t>(sent) != request.size()) return Failure{EPROTO};
    return {};
}

} // namespace sockscope_detail

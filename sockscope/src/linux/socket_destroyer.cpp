// SPDX-License-Identifier: MIT
#include "linux/socket_destroyer.h"

#include <cerrno>
#include <linux/netlink.h>
#include <sys/socket.h>

#include "core/netlink_messages.h"
#include "linux/sock_diag_socket.h"
#include "linux/system_call.h"

namespace sockscope_detail {

Result<SocketDestroyer> SocketDestroyer::open() {
    Result<UniqueFd> fd = open_sock_diag();
    if (!fd) return fd.failure();
    return SocketDestroyer(std::move(*fd));
}

Result<void> SocketDestroyer::destroy(const SocketRow& row) {
    const std::uint32_t seq = ++seq_;
    if (const Result<void> sent = send_to_kernel(fd_.get(), make_destroy_request(row, seq)); !sent) return sent;
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

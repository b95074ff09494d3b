// SPDX-License-Identifier: MIT
// Destroying sockets with the kernel's SOCK_DESTROY over one sock_diag
// netlink socket: a TCP connection is aborted (its peer gets a reset, a
// caller blocked on it ECONNABORTED), a UDP socket's calls fail. The kernel
// asks for CAP_NET_ADMIN in the socket's network namespace.
#pragma once

#include "core/result.h"
#include "core/socket_row.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

class SocketDestroyer {
public:
    // Opens the netlink socket: fails with its errno (EMFILE, ENFILE).
    static Result<SocketDestroyer> open();

    // Destroys the socket of `row` in the caller's network namespace; fails
    // with the kernel's errno: ENOENT when no such socket is left, EPERM
    // without the privilege, EOPNOTSUPP where the kernel can't destroy
    // sockets of its protocol; EPROTO when the answer is no answer.
    Result<void> destroy(const SocketRow& row);

private:
    explicit SocketDestroyer(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
    std::uint32_t seq_ = 0;
};

} // namespace sockscope_detail

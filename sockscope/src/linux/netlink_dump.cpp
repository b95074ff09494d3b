// SPDX-License-Identifier: MIT
#include "linux/netlink_dump.h"

#include <cerrno>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "linux/unique_fd.h"
#include "core/netlink_messages.h"

namespace sockscope_detail {
namespace {

// A dump that the kernel keeps flagging as interrupted (the table changed
// while it was walked) is taken as it is after this many tries.
constexpr int dump_attempts = 3;
// The kernel answers a dump at once; a silent socket is a failure, not
// something to wait on forever.
constexpr int receive_timeout_seconds = 10;
// The kernel's dump datagrams are at most 32 KiB today; larger ones are
// measured before they are read, so none is ever cut.
constexpr std::size_t initial_buffer_size = 64 * 1024;

int send_request(int fd, Protocol protocol, Family family, std::uint32_t seq) {
    const DiagDumpRequest request = make_dump_request(protocol, family, seq);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(fd, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return errno;
    return sent == static_cast<ssize_t>(sizeof request) ? 0 : EPROTO;
}

// The size of the next datagram, without taking it.
ssize_t next_datagram_size(int fd) {
    ssize_t size;
    do {
        size = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    } while (size < 0 && errno == EINTR);
    return size;
}

// One whole dump into `rows`; 0 or an errno. `interrupted` is set when the
// kernel flagged it.
int dump_once(Protocol protocol, Family family, std::uint32_t seq, std::vector<char>& buffer,
              SocketRows& rows, bool& interrupted) {
    const UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd.valid()) return errno;
    const timeval limit{receive_timeout_seconds, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (const int error = send_request(fd.get(), protocol, family, seq); error != 0) return error;

    interrupted = false;
    for (;;) {
        const ssize_t size = next_datagram_size(fd.get());
        if (size < 0) return errno;
        if (static_cast<std::size_t>(size) > buffer.size()) buffer.resize(static_cast<std::size_t>(size));

        iovec vector{buffer.data(), buffer.size()};
        sockaddr_nl sender{};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        ssize_t got;
        do {
            got = ::recvmsg(fd.get(), &message, 0);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return errno;
        if ((message.msg_flags & MSG_TRUNC) != 0) return EPROTO; // measured above: can't happen
        if (sender.nl_pid != 0) continue; // not from the kernel: not part of the answer

        const DiagBatch batch = parse_diag_batch(buffer.data(), static_cast<std::size_t>(got), seq, protocol,
                                                 family, rows, interrupted);
        switch (batch.outcome) {
        case DiagBatch::more: break;
        case DiagBatch::done: return 0;
        case DiagBatch::failed: return batch.error;
        case DiagBatch::malformed: return EPROTO;
        }
    }
}

} // namespace

int dump_with_netlink(Protocol protocol, Family family, SocketRows& rows) {
    std::vector<char> buffer(initial_buffer_size);
    const std::size_t kept = rows.size();
    int error = 0;
    for (int attempt = 1; attempt <= dump_attempts; ++attempt) {
        rows.resize(kept);
        bool interrupted = false;
        error = dump_once(protocol, family, static_cast<std::uint32_t>(attempt), buffer, rows, interrupted);
        if (error != 0 || !interrupted) break;
    }
    if (error != 0) rows.resize(kept);
    return error;
}

} // namespace sockscope_detail

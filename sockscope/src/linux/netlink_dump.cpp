// SPDX-License-Identifier: MIT
#include "linux/netlink_dump.h"

#include <cerrno>
#include <linux/netlink.h>
#include <sys/socket.h>

#include "core/netlink_messages.h"
#include "linux/sock_diag_socket.h"
#include "linux/system_call.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {
namespace {

// A dump that the kernel keeps flagging as interrupted (the table changed
// while it was walked) is taken as it is after this many tries.
constexpr int dump_attempts = 3;
// The kernel's dump datagrams are at most 32 KiB today; larger ones are
// measured before they are read, so none is ever cut.
constexpr std::size_t initial_buffer_size = 64 * 1024;

// One whole dump into `rows`. `interrupted` is set when the kernel flagged
// it.
Result<void> dump_once(const TableRequest& table, DumpKind kind, std::uint32_t seq, std::vector<char>& buffer,
                       SocketRows& rows, bool& interrupted) {
    const Result<UniqueFd> opened = open_sock_diag();
    if (!opened) return opened.failure();
    const UniqueFd& fd = *opened;
    if (const Result<void> sent = send_to_kernel(fd.get(), make_dump_request(table, seq, kind)); !sent) return sent;

    interrupted = false;
    for (;;) {
        // The size of the next datagram, without taking it.
        const ssize_t size = retrying([&] { return ::recv(fd.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC); });
        if (size < 0) return Failure{errno};
        if (static_cast<std::size_t>(size) > buffer.size()) buffer.resize(static_cast<std::size_t>(size));

        iovec vector{buffer.data(), buffer.size()};
        sockaddr_nl sender{};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        const ssize_t got = retrying([&] { return ::recvmsg(fd.get(), &message, 0); });
        if (got < 0) return Failure{errno};
        if ((message.msg_flags & MSG_TRUNC) != 0) return Failure{EPROTO}; // measured above: can't happen
        if (sender.nl_pid != 0) continue; // not from the kernel: not part of the answer

        const DiagBatch batch =
            parse_diag_batch(buffer.data(), static_cast<std::size_t>(got), seq, table, rows, interrupted, kind);
        switch (batch.outcome) {
        case DiagBatch::more: break;
        case DiagBatch::done: return {};
        case DiagBatch::failed: return Failure{batch.error};
        case DiagBatch::malformed: return Failure{EPROTO};
        }
    }
}

} // namespace

Result<void> dump_with_netlink(const TableRequest& table, SocketRows& rows, DumpKind kind) {
    std::vector<char> buffer(initial_buffer_size);
    const std::size_t kept = rows.size();
    Result<void> dumped;
    for (int attempt = 1; attempt <= dump_attempts; ++attempt) {
        rows.resize(kept);
        bool interrupted = false;
        dumped = dump_once(table, kind, static_cast<std::uint32_t>(attempt), buffer, rows, interrupted);
        if (!dumped || !interrupted) break;
    }
    if (!dumped) rows.resize(kept);
    return dumped;
}

} // namespace sockscope_detail

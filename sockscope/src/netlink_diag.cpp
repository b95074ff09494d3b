#include "netlink_diag.h"

#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "tcp_state.h"
#include "unique_fd.h"

namespace sockscope_detail {
namespace {

// Large enough for the biggest datagram the kernel builds for a dump.
constexpr std::size_t receive_buffer_size = 64 * 1024;
// A dump that the kernel keeps flagging as interrupted is taken as it is
// after this many tries.
constexpr int dump_attempts = 3;
constexpr int receive_timeout_seconds = 10;

SocketRow row_from_message(const inet_diag_msg& message, Protocol protocol) {
    SocketRow row;
    row.local_address = message.id.idiag_src[0];
    row.local_port = message.id.idiag_sport;
    row.inode = message.idiag_inode;
    if (protocol == Protocol::tcp) {
        row.state = state_from_kernel(message.idiag_state);
        row.remote_address = message.id.idiag_dst[0];
        row.remote_port = message.id.idiag_dport;
    }
    return row;
}

bool send_dump_request(int fd, Protocol protocol, std::uint32_t seq) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = seq;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = protocol == Protocol::tcp ? IPPROTO_TCP : IPPROTO_UDP;
    message.request.idiag_states = protocol == Protocol::tcp ? tcp_listed_states : udp_listed_states;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(fd, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof message);
}

// One whole dump; nullopt on error, `interrupted` set when the kernel
// flagged it.
std::optional<std::vector<SocketRow>> dump_once(Protocol protocol, std::uint32_t seq, std::vector<char>& buffer,
                                                bool& interrupted) {
    UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd.valid()) return std::nullopt;
    // The kernel answers a dump at once; a silent socket is a failure, not
    // something to wait on forever.
    const timeval limit{receive_timeout_seconds, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (!send_dump_request(fd.get(), protocol, seq)) return std::nullopt;

    std::vector<SocketRow> rows;
    interrupted = false;
    for (;;) {
        iovec vector{buffer.data(), buffer.size()};
        sockaddr_nl sender{};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(fd.get(), &header, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if ((header.msg_flags & MSG_TRUNC) != 0 || sender.nl_pid != 0) return std::nullopt;
        switch (parse_diag_batch(buffer.data(), static_cast<std::size_t>(got), seq, protocol, rows, interrupted)) {
        case DiagBatch::more: break;
        case DiagBatch::done: return rows;
        case DiagBatch::error: return std::nullopt;
        }
    }
}

} // namespace

DiagBatch parse_diag_batch(const void* data, std::size_t length, std::uint32_t seq, Protocol protocol,
                           std::vector<SocketRow>& rows, bool& interrupted) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, bytes, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length) return DiagBatch::error;
        if (header.nlmsg_seq != seq) return DiagBatch::error;
        if ((header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) interrupted = true;

        const unsigned char* payload = bytes + NLMSG_HDRLEN;
        const std::size_t payload_length = header.nlmsg_len - NLMSG_HDRLEN; // nlmsg_len >= a header, checked above
        if (header.nlmsg_type == NLMSG_DONE) return DiagBatch::done;
        if (header.nlmsg_type == NLMSG_ERROR) return DiagBatch::error;
        if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            if (payload_length < sizeof(inet_diag_msg)) return DiagBatch::error;
            inet_diag_msg message;
            std::memcpy(&message, payload, sizeof message);
            if (message.idiag_family == AF_INET) rows.push_back(row_from_message(message, protocol));
        }
        const std::size_t step = NLMSG_ALIGN(header.nlmsg_len);
        if (step >= length) break;
        bytes += step;
        length -= step;
    }
    return DiagBatch::more;
}

std::optional<std::vector<SocketRow>> dump_with_netlink(Protocol protocol) {
    std::vector<char> buffer(receive_buffer_size);
    std::optional<std::vector<SocketRow>> rows;
    for (int attempt = 1; attempt <= dump_attempts; ++attempt) {
        bool interrupted = false;
        rows = dump_once(protocol, static_cast<std::uint32_t>(attempt), buffer, interrupted);
        if (!rows || !interrupted) break;
    }
    return rows;
}

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
#include "core/netlink_messages.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <linux/sock_diag.h>
#include <netinet/in.h>

#include "core/tcp_state.h"

namespace sockscope_detail {
namespace {

int address_family(Family family) { return family == Family::ipv4 ? AF_INET : AF_INET6; }

SocketRow row_from_message(const inet_diag_msg& message, Protocol protocol) {
    SocketRow row;
    // idiag_src/idiag_dst hold the address bytes in network order; an IPv4
    // address fills the first four.
    std::memcpy(row.local_address.data(), message.id.idiag_src, row.local_address.size());
    row.local_port = message.id.idiag_sport;
    row.inode = message.idiag_inode;
    row.interface_index = message.id.idiag_if;
    if (protocol == Protocol::tcp) {
        row.state = state_from_kernel(message.idiag_state);
        std::memcpy(row.remote_address.data(), message.id.idiag_dst, row.remote_address.size());
        row.remote_port = message.id.idiag_dport;
    }
    if (message.idiag_family == AF_INET) { // the kernel leaves the rest of an IPv4 address unset
        std::memset(row.local_address.data() + 4, 0, 12);
        std::memset(row.remote_address.data() + 4, 0, 12);
    }
    return row;
}

// The errno in an error message's payload (a negative number), as a positive
// value; 0 for a payload of 0 or more; EPROTO when the payload is too short
// to hold it, or holds a number no errno is (INT_MIN has no positive twin).
int payload_error(const unsigned char* payload, std::size_t length) {
    int error;
    if (length < sizeof error) return EPROTO;
    std::memcpy(&error, payload, sizeof error);
    if (error >= 0) return 0;
    return error == INT_MIN ? EPROTO : -error;
}

} // namespace

DiagDumpRequest make_dump_request(Protocol protocol, Family family, std::uint32_t seq) {
    DiagDumpRequest message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = seq;
    message.request.sdiag_family = static_cast<std::uint8_t>(address_family(family));
    message.request.sdiag_protocol = protocol == Protocol::tcp ? IPPROTO_TCP : IPPROTO_UDP;
    message.request.idiag_states = protocol == Protocol::tcp ? tcp_listed_states : udp_listed_states;
    return message;
}

DiagBatch parse_diag_batch(const void* data, std::size_t length, std::uint32_t seq, Protocol protocol,
                           Family family, SocketRows& rows, bool& interrupted) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    const int wanted_family = address_family(family);
    while (length >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, bytes, sizeof header);
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length) return {DiagBatch::malformed};
        if (header.nlmsg_seq != seq) return {DiagBatch::malformed};
        if ((header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) interrupted = true;

        const unsigned char* payload = bytes + NLMSG_HDRLEN;
        const std::size_t payload_length = header.nlmsg_len - NLMSG_HDRLEN; // nlmsg_len >= a header, checked above
        if (header.nlmsg_type == NLMSG_DONE) {
            // Its payload, when there is one, is 0 or the dump's error.
            if (payload_length >= sizeof(int)) {
                const int error = payload_error(payload, payload_length);
                if (error > 0) return {DiagBatch::failed, error};
            }
            return {DiagBatch::done};
        }
        if (header.nlmsg_type == NLMSG_ERROR) {
            const int error = payload_error(payload, payload_length);
            return {DiagBatch::failed, error > 0 ? error : EPROTO};
        }
        if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            if (payload_length < sizeof(inet_diag_msg)) return {DiagBatch::malformed};
            inet_diag_msg message;
            std::memcpy(&message, payload, sizeof message);
            if (message.idiag_family == wanted_family) rows.push_back(row_from_message(message, protocol));
        }
        const std::size_t step = NLMSG_ALIGN(header.nlmsg_len);
        if (step >= length) break;
        bytes += step;
        length -= step;
    }
    return {DiagBatch::more};
}

} // namespace sockscope_detail

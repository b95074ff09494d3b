// SPDX-License-Identifier: MIT
#include "core/netlink_messages.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>

#include "core/filter_bytecode.h"
#include "core/tcp_state.h"

namespace sockscope_detail {
namespace {

int address_family(Family family) { return family == Family::ipv4 ? AF_INET : AF_INET6; }

SocketRow row_from_message(const inet_diag_msg& message, Protocol protocol, Family family) {
    SocketRow row;
    row.protocol = protocol;
    row.family = family;
    // idiag_src/idiag_dst hold the address bytes in network order; an IPv4
    // address fills the first four, and the kernel leaves the rest unset.
    const std::size_t address_bytes = family == Family::ipv4 ? 4 : 16;
    std::memcpy(row.local_address.data(), message.id.idiag_src, address_bytes);
    std::memcpy(row.remote_address.data(), message.id.idiag_dst, address_bytes);
    row.local_port = message.id.idiag_sport;
    row.remote_port = message.id.idiag_dport;
    row.inode = message.idiag_inode;
    row.cookie = message.id.idiag_cookie[0] | std::uint64_t{message.id.idiag_cookie[1]} << 32;
    row.interface_index = message.id.idiag_if;
    row.uid = message.idiag_uid;
    row.receive_queue = message.idiag_rqueue;
    row.send_queue = message.idiag_wqueue;
    row.state = message.idiag_state;
    return row;
}

// The attributes after a socket's message: IPV6_V6ONLY, which the kernel
// adds for IPv6 listeners and unconnected sockets, and the details asked for.
// `details` is null when none are asked for.
void read_attributes(const unsigned char* attributes, std::size_t length, SocketRow& row, std::uint32_t wanted,
                     SocketDetails* details) {
    while (length >= sizeof(rtattr)) {
        rtattr attribute;
        std::memcpy(&attribute, attributes, sizeof attribute);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > length) return;
        if (attribute.rta_type == INET_DIAG_SKV6ONLY && attribute.rta_len > RTA_LENGTH(0))
            row.v6only = attributes[RTA_LENGTH(0)] != 0;
        else if (details != nullptr)
            read_detail_attribute(attribute.rta_type, attributes + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0),
                                  wanted, *details);
        const std::size_t step = RTA_ALIGN(attribute.rta_len);
        if (step >= length) return;
        attributes += step;
        length -= step;
    }
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

// The attributes a request asks for (idiag_ext: bit n - 1 asks for n).
std::uint8_t extensions(std::uint32_t details) {
    unsigned bits = 0;
    if ((details & detail_tcp_info) != 0) bits |= 1u << (INET_DIAG_INFO - 1) | 1u << (INET_DIAG_CONG - 1);
    if ((details & detail_memory) != 0) bits |= 1u << (INET_DIAG_SKMEMINFO - 1);
    return static_cast<std::uint8_t>(bits);
}

// The details of the message's own fields: its timer (TCP's).
void read_timer(const inet_diag_msg& message, Protocol protocol, std::uint32_t wanted, SocketDetails& details) {
    if ((wanted & detail_timer) == 0 || protocol != Protocol::tcp) return;
    details.has_timer = true;
    details.timer = message.idiag_timer;
    details.retransmits = message.idiag_retrans;
    details.expires_ms = message.idiag_expires;
}

} // namespace

std::vector<unsigned char> make_dump_request(const TableRequest& request, std::uint32_t seq, DumpKind kind) {
    const std::vector<unsigned char> program = filter_program(request.ports, request.expression);
    // The fixed part: the header and the request of the kind asked for.
    nlmsghdr header{};
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = seq;
    std::size_t request_size;
    union {
        inet_diag_req_v2 by_family;
        inet_diag_req both_families; // idiag_family is not read: both are dumped
    } body{};
    if (kind == DumpKind::tcp_both_families) {
        header.nlmsg_type = TCPDIAG_GETSOCK;
        body.both_families.idiag_family = AF_INET;
        body.both_families.idiag_states = requested_states(request);
        body.both_families.idiag_ext = extensions(request.details);
        request_size = sizeof body.both_families;
    } else {
        header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        body.by_family.sdiag_family = static_cast<std::uint8_t>(address_family(request.family));
        body.by_family.sdiag_protocol = request.protocol == Protocol::tcp ? IPPROTO_TCP : IPPROTO_UDP;
        body.by_family.idiag_states = requested_states(request);
        body.by_family.idiag_ext = extensions(request.details);
        request_size = sizeof body.by_family;
    }
    const std::size_t fixed = NLMSG_SPACE(request_size);
    const std::size_t total = fixed + (program.empty() ? 0 : RTA_SPACE(program.size()));
    header.nlmsg_len = static_cast<std::uint32_t>(total);

    std::vector<unsigned char> bytes(total, 0);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + NLMSG_HDRLEN, &body, request_size);
    if (!program.empty()) {
        rtattr attribute{};
        attribute.rta_type = INET_DIAG_REQ_BYTECODE;
        attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(program.size()));
        std::memcpy(bytes.data() + fixed, &attribute, sizeof attribute);
        std::memcpy(bytes.data() + fixed + RTA_LENGTH(0), program.data(), program.size());
    }
    return bytes;
}

std::vector<unsigned char> make_destroy_request(const SocketRow& row, std::uint32_t seq) {
    inet_diag_req_v2 body{};
    body.sdiag_family = static_cast<std::uint8_t>(address_family(row.family));
    body.sdiag_protocol = row.protocol == Protocol::tcp ? IPPROTO_TCP : IPPROTO_UDP;
    body.idiag_states = ~0u;
    const std::size_t address_bytes = row.family == Family::ipv4 ? 4 : 16;
    std::memcpy(body.id.idiag_src, row.local_address.data(), address_bytes);
    std::memcpy(body.id.idiag_dst, row.remote_address.data(), address_bytes);
    body.id.idiag_sport = static_cast<std::uint16_t>(row.local_port);
    body.id.idiag_dport = static_cast<std::uint16_t>(row.remote_port);
    body.id.idiag_if = row.interface_index;
    body.id.idiag_cookie[0] = row.cookie != 0 ? static_cast<std::uint32_t>(row.cookie) : INET_DIAG_NOCOOKIE;
    body.id.idiag_cookie[1] = row.cookie != 0 ? static_cast<std::uint32_t>(row.cookie >> 32) : INET_DIAG_NOCOOKIE;
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(sizeof body));
    header.nlmsg_type = SOCK_DESTROY;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    header.nlmsg_seq = seq;
    std::vector<unsigned char> bytes(NLMSG_SPACE(sizeof body), 0);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + NLMSG_HDRLEN, &body, sizeof body);
    return bytes;
}

int acknowledgement_error(const void* data, std::size_t length, std::uint32_t seq) {
    nlmsghdr header;
    if (length < sizeof header) return EPROTO;
    std::memcpy(&header, data, sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > length || header.nlmsg_seq != seq ||
        header.nlmsg_type != NLMSG_ERROR)
        return EPROTO;
    const int error = payload_error(static_cast<const unsigned char*>(data) + NLMSG_HDRLEN,
                                    header.nlmsg_len - NLMSG_HDRLEN);
    return error;
}

namespace {

// parse_diag_batch, counting the details of the rows it keeps in `tally`.
DiagBatch parse_rows(const void* data, std::size_t length, std::uint32_t seq, const TableRequest& request,
                     SocketRows& rows, bool& interrupted, DumpKind kind, DetailStore::Tally& tally) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    const bool both = kind == DumpKind::tcp_both_families;
    const int row_type = both ? TCPDIAG_GETSOCK : SOCK_DIAG_BY_FAMILY;
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
        if (header.nlmsg_type == row_type) {
            if (payload_length < sizeof(inet_diag_msg)) return {DiagBatch::malformed};
            inet_diag_msg message;
            std::memcpy(&message, payload, sizeof message);
            const bool known = message.idiag_family == AF_INET || message.idiag_family == AF_INET6;
            const Family family = message.idiag_family == AF_INET ? Family::ipv4 : Family::ipv6;
            if (known && (both || family == request.family)) {
                SocketRow row = row_from_message(message, request.protocol, family);
                // Details only when asked: a plain dump makes none. (One made
                // for a row that then fails the filter stays unused.)
                const std::uint32_t wanted = request.detail_store != nullptr ? request.details : 0;
                SocketDetails* details = wanted != 0 ? &request.detail_store->make() : nullptr;
                if (details != nullptr) read_timer(message, request.protocol, wanted, *details);
                const std::size_t attributes = NLMSG_ALIGN(sizeof message);
                if (payload_length > attributes)
                    read_attributes(payload + attributes, payload_length - attributes, row, wanted, details);
                if (passes(request, row)) {
                    row.details = details;
                    rows.push_back(row);
                    if (details != nullptr) tally.count(*details);
                }
            }
        }
        const std::size_t step = NLMSG_ALIGN(header.nlmsg_len);
        if (step >= length) break;
        bytes += step;
        length -= step;
    }
    return {DiagBatch::more};
}

} // namespace

DiagBatch parse_diag_batch(const void* data, std::size_t length, std::uint32_t seq, const TableRequest& request,
                           SocketRows& rows, bool& interrupted, DumpKind kind) {
    DetailStore::Tally tally;
    const DiagBatch batch = parse_rows(data, length, seq, request, rows, interrupted, kind, tally);
    if (request.detail_store != nullptr) request.detail_store->add(tally);
    return batch;
}

} // namespace sockscope_detail

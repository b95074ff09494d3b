// SPDX-License-Identifier: MIT
// The messages of a sock_diag netlink dump (SOCK_DIAG_BY_FAMILY with an
// inet_diag_req_v2, or TCP's older TCPDIAG_GETSOCK with an inet_diag_req):
// the request we send and the parsing of the datagrams the kernel answers
// with. No system calls here; the socket loop is in linux/netlink_dump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <vector>

#include "core/socket_row.h"
#include "core/table_request.h"

namespace sockscope_detail {

// Which request a dump makes. SOCK_DIAG_BY_FAMILY walks the kernel's TCP
// table once for each family; TCP's older request walks it once for both
// and answers with the rows of IPv4 and IPv6 together (its own message
// type on every row). The walk is what a dump costs where the table is
// large and nearly empty: namespaces share the machine's table unless the
// host says otherwise (net.ipv4.tcp_child_ehash_entries), so on a host of
// 262,144 buckets each walk takes about 2 ms whatever the namespace holds.
enum class DumpKind { one_family, tcp_both_families };

// The request of a dump of the sockets `request` asks for: the table, the
// states in the kernel's mask, the ports and the expression's tests (when
// given) as a filter program the kernel runs on every socket
// (INET_DIAG_REQ_BYTECODE, filter_bytecode.h). For `tcp_both_families`,
// the family of `request` is not asked for: both are.
std::vector<unsigned char> make_dump_request(const TableRequest& request, std::uint32_t seq,
                                             DumpKind kind = DumpKind::one_family);

struct DiagBatch {
    enum Outcome {
        more,     // rows were taken; the dump goes on in the next datagram
        done,     // NLMSG_DONE: the dump is complete
        failed,   // the kernel reported an error (`error` holds its errno)
        malformed // a message that doesn't parse, or a foreign sequence number
    };
    Outcome outcome = more;
    int error = 0;
};

// Parses one received datagram of the dump with sequence number `seq`,
// appending its rows of `request`'s table, of either family for
// `tcp_both_families` (the kernel's filters are not trusted: see
// table_request.h). Sets `interrupted` when the kernel flagged
// a message inconsistent (NLM_F_DUMP_INTR: the table changed during the
// dump). A negative NLMSG_DONE payload is the dump's error. Reads nothing
// outside [data, data + length).
DiagBatch parse_diag_batch(const void* data, std::size_t length, std::uint32_t seq, const TableRequest& request,
                           SocketRows& rows, bool& interrupted, DumpKind kind = DumpKind::one_family);

// The request that destroys the socket of `row` (SOCK_DESTROY, acknowledged):
// the kernel finds it by its protocol, family, addresses, ports, interface
// and, when the row has one, its cookie (so that a socket made since with
// the same ends is left alone).
std::vector<unsigned char> make_destroy_request(const SocketRow& row, std::uint32_t seq);

// The errno of the kernel's acknowledgement of request `seq` in one received
// datagram: 0 done, or the kernel's error; EPROTO for anything that is no
// acknowledgement of that request.
int acknowledgement_error(const void* data, std::size_t length, std::uint32_t seq);

} // namespace sockscope_detail

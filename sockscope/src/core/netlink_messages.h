// SPDX-License-Identifier: MIT
// The messages of a sock_diag netlink dump (SOCK_DIAG_BY_FAMILY with an
// inet_diag_req_v2): the request we send and the parsing of the datagrams
// the kernel answers with. No system calls here; the socket loop is in
// linux/netlink_dump.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <vector>

#include "core/socket_row.h"

namespace sockscope_detail {

struct DiagDumpRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

// A dump of every socket of `protocol` and `family` in the states the
// library lists (see tcp_state.h).
DiagDumpRequest make_dump_request(Protocol protocol, Family family, std::uint32_t seq);

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
// appending its rows of `family`. Sets `interrupted` when the kernel flagged
// a message inconsistent (NLM_F_DUMP_INTR: the table changed during the
// dump). A negative NLMSG_DONE payload is the dump's error. Reads nothing
// outside [data, data + length).
DiagBatch parse_diag_batch(const void* data, std::size_t length, std::uint32_t seq, Protocol protocol,
                           Family family, SocketRows& rows, bool& interrupted);

} // namespace sockscope_detail

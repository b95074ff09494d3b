// The kernel's socket tables over netlink sock_diag: one dump request per
// table (SOCK_DIAG_BY_FAMILY with an inet_diag_req_v2 for AF_INET), the
// binary interface that needs no text parsing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "socket_row.h"

namespace sockscope_detail {

enum class DiagBatch {
    more,  // rows were taken; the dump goes on in the next datagram
    done,  // NLMSG_DONE: the dump is complete
    error, // NLMSG_ERROR, a malformed message or a foreign sequence number
};

// Parses one received datagram of a dump answer with sequence number `seq`,
// appending its IPv4 rows. Sets `interrupted` when the kernel flagged a
// message inconsistent (NLM_F_DUMP_INTR: the table changed during the
// dump). Reads nothing outside [data, data + length).
DiagBatch parse_diag_batch(const void* data, std::size_t length, std::uint32_t seq, Protocol protocol,
                           std::vector<SocketRow>& rows, bool& interrupted);

// Dumps the IPv4 table of `protocol`; nullopt when netlink is unavailable or
// refuses (the caller falls back to /proc/net).
std::optional<std::vector<SocketRow>> dump_with_netlink(Protocol protocol);

} // namespace sockscope_detail

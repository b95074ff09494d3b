// SPDX-License-Identifier: MIT
// A netlink dump reply made of arbitrary bytes: the first four bytes are
// the sequence number expected, the fifth picks the table and family.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/netlink_messages.h"

using namespace sockscope_detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    std::uint32_t seq;
    std::memcpy(&seq, data, sizeof seq);
    const Protocol protocol = data[4] & 1 ? Protocol::udp : Protocol::tcp;
    const Family family = data[4] & 2 ? Family::ipv6 : Family::ipv4;
    // A copy of exactly the datagram's length, so that any read past it is
    // caught by the address sanitizer.
    std::vector<std::uint8_t> datagram(data + 5, data + size);
    SocketRows rows;
    bool interrupted = false;
    const DiagBatch batch = parse_diag_batch(datagram.data(), datagram.size(), seq, protocol, family, rows, interrupted);
    if (batch.outcome == DiagBatch::failed && batch.error <= 0) std::abort();
    for (const SocketRow& row : rows)
        if (row.state > 12 || row.local_port > 0xFFFF || row.remote_port > 0xFFFF) std::abort();
    return 0;
}

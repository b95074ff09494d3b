// SPDX-License-Identifier: MIT
// A netlink dump reply made of arbitrary bytes: the first four bytes are
// the sequence number expected, the fifth picks the table, the family and
// the kind of dump, and whether the socket details are asked for.
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
    const DumpKind kind = data[4] & 4 ? DumpKind::tcp_both_families : DumpKind::one_family;
    const bool details = data[4] & 8;
    // A copy of exactly the datagram's length, so that any read past it is
    // caught by the address sanitizer.
    std::vector<std::uint8_t> datagram(data + 5, data + size);
    // The fifth byte's high half, when not 0, is a port to filter on.
    const std::uint16_t port = data[4] >> 4;
    TableRequest request{protocol, family, 0, {}};
    if (port != 0) request.ports = std::span<const std::uint16_t>(&port, 1);
    DetailStore store;
    if (details) {
        request.details = detail_tcp_info | detail_timer | detail_memory;
        request.detail_store = &store;
    }
    SocketRows rows;
    bool interrupted = false;
    const DiagBatch batch = parse_diag_batch(datagram.data(), datagram.size(), seq, request, rows, interrupted, kind);
    if (batch.outcome == DiagBatch::failed && batch.error <= 0) std::abort();
    for (const SocketRow& row : rows) {
        if (!passes(request, row) || row.local_port > 0xFFFF || row.remote_port > 0xFFFF) std::abort();
        // Every row has its details when asked, and a name that ends.
        if ((row.details != nullptr) != details) std::abort();
        if (details && std::memchr(row.details->congestion.data(), 0, row.details->congestion.size()) == nullptr)
            std::abort();
        if (details && row.details->tcp_info_size > sizeof row.details->info) std::abort();
    }
    // The store's tally counts at least the details of the rows kept.
    if (details) {
        std::size_t infos = 0;
        for (const SocketRow& row : rows) infos += row.details->has_tcp_info;
        if (store.tally().tcp_infos < infos) std::abort();
    }
    // The request for the same table is well formed whatever it asks.
    const std::vector<unsigned char> asked = make_dump_request(request, seq, kind);
    if (asked.size() < sizeof(nlmsghdr)) std::abort();
    return 0;
}

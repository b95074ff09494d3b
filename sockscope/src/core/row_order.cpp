// SPDX-License-Identifier: MIT
#include "core/row_order.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "core/conversions.h"

namespace sockscope_detail {
namespace {

bool only_ipv4_addresses(std::span<const SocketRow> rows) {
    static constexpr std::uint8_t zeros[12] = {};
    return std::all_of(rows.begin(), rows.end(), [](const SocketRow& row) {
        return std::memcmp(row.local_address.data() + 4, zeros, 12) == 0 &&
               std::memcmp(row.remote_address.data() + 4, zeros, 12) == 0;
    });
}

std::uint64_t big_endian_ipv4(const Address& address) {
    return (std::uint64_t{address[0]} << 24) | (address[1] << 16) | (address[2] << 8) | address[3];
}

// The whole order of an IPv4 row in three numbers, so that a large table
// sorts small keys rather than whole rows: local address and port and the
// remote address's high half; its low half, remote port and owner; inode.
struct Ipv4Key {
    std::uint64_t high, low, inode;
    std::uint32_t row;
    bool operator<(const Ipv4Key& other) const {
        return std::tie(high, low, inode) < std::tie(other.high, other.low, other.inode);
    }
};

void sort_ipv4_rows(std::span<SocketRow> rows) {
    WorkingVector<Ipv4Key> keys(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SocketRow& row = rows[i];
        const std::uint64_t remote = big_endian_ipv4(row.remote_address);
        keys[i].high = big_endian_ipv4(row.local_address) << 32 |
                       std::uint64_t{port_to_host_order(row.local_port) & 0xFFFF} << 16 | remote >> 16;
        keys[i].low = (remote & 0xFFFF) << 48 | std::uint64_t{port_to_host_order(row.remote_port) & 0xFFFF} << 32 |
                      row.owner;
        keys[i].inode = row.inode;
        keys[i].row = static_cast<std::uint32_t>(i);
    }
    std::sort(keys.begin(), keys.end());
    // Row keys[i].row belongs at i. Moved into place cycle by cycle, so that
    // no second table is needed; a key whose row is its own index is done.
    for (std::size_t start = 0; start < rows.size(); ++start) {
        if (keys[start].row == start) continue;
        const SocketRow first = rows[start];
        std::size_t at = start;
        while (keys[at].row != start) {
            const std::size_t from = keys[at].row;
            rows[at] = rows[from];
            keys[at].row = static_cast<std::uint32_t>(at);
            at = from;
        }
        rows[at] = first;
        keys[at].row = static_cast<std::uint32_t>(at);
    }
}

} // namespace

void sort_rows(std::span<SocketRow> rows) {
    if (only_ipv4_addresses(rows)) {
        sort_ipv4_rows(rows);
        return;
    }
    const auto key = [](const SocketRow& row) {
        return std::make_tuple(std::cref(row.local_address), port_to_host_order(row.local_port),
                               std::cref(row.remote_address), port_to_host_order(row.remote_port), row.owner,
                               row.inode);
    };
    std::sort(rows.begin(), rows.end(), [&key](const SocketRow& a, const SocketRow& b) { return key(a) < key(b); });
}

std::size_t drop_repeated_rows(std::span<SocketRow> rows) {
    const auto same_socket = [](const SocketRow& a, const SocketRow& b) {
        return a.inode == b.inode && a.local_port == b.local_port && a.remote_port == b.remote_port &&
               a.local_address == b.local_address && a.remote_address == b.remote_address;
    };
    return static_cast<std::size_t>(std::unique(rows.begin(), rows.end(), same_socket) - rows.begin());
}

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
// Rows as the kernel lays them out, for tests that build tables by hand.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/conversions.h"
#include "loopback_sockets.h"
#include "core/socket_row.h"

namespace sockscope_test {

inline sockscope_detail::Address ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
    return {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(c),
            static_cast<std::uint8_t>(d)};
}

// A port field: network order in the low 16 bits.
constexpr std::uint32_t port_field(unsigned host) { return ((host & 0xFF) << 8) | ((host >> 8) & 0xFF); }

inline sockscope_detail::SocketRow tcp_row(const sockscope_detail::Address& local, unsigned local_port,
                                           const sockscope_detail::Address& remote, unsigned remote_port,
                                           std::uint32_t state, std::uint32_t owner) {
    sockscope_detail::SocketRow row;
    row.local_address = local;
    row.local_port = port_field(local_port);
    row.remote_address = remote;
    row.remote_port = port_field(remote_port);
    row.state = static_cast<std::uint8_t>(state); // the kernel's number
    row.owner = owner;
    row.inode = owner == 0 ? 0 : 1000 + owner;
    return row;
}

// A row's two ends as text, to compare with a TestSocket's.
inline Endpoint row_end(sockscope_detail::Family family, const sockscope_detail::Address& address, std::uint32_t port) {
    const std::unique_ptr<char, decltype(&std::free)> text(sockscope_detail::address_text(family, address), &std::free);
    return {text ? text.get() : "", sockscope_detail::port_to_host_order(port)};
}

// Whether `row`, read from the table of `family`, is `socket`.
inline bool row_is(const sockscope_detail::SocketRow& row, sockscope_detail::Family family, const TestSocket& socket) {
    return socket.is(row_end(family, row.local_address, row.local_port),
                     row_end(family, row.remote_address, row.remote_port));
}

} // namespace sockscope_test

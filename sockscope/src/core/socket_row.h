// SPDX-License-Identifier: MIT
// One row of a kernel socket table, as every stage after the reading takes
// it. Addresses and ports keep the kernel's layout: addresses in network
// byte order (an IPv4 address in the first four bytes, the rest zero), the
// port in network order in the low 16 bits of its field. So 127.0.0.1:80
// is the bytes 7F 00 00 01 and the port field 0x5000 on x86-64.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/working_memory.h"

namespace sockscope_detail {

enum class Protocol : std::uint8_t { tcp, udp };
enum class Family : std::uint8_t { ipv4, ipv6 };

using Address = std::array<std::uint8_t, 16>;

struct SocketDetails; // socket_details.h

struct SocketRow {
    Address local_address{};
    Address remote_address{}; // zero for a listener and an unconnected UDP socket
    std::uint32_t local_port = 0;
    std::uint32_t remote_port = 0;
    std::uint64_t inode = 0;  // 0 when no descriptor refers to the socket
    std::uint64_t cookie = 0; // the kernel's socket cookie; 0 when not known (/proc/net doesn't say)
    std::uint64_t netns = 0;  // its network namespace's inode; 0 when not known
    std::uint32_t owner = 0;  // owning process id; 0 when unknown
    // The interface the socket is bound to (the kernel's index; a scoped
    // address's zone); 0 when unbound or not known (/proc/net doesn't say).
    std::uint32_t interface_index = 0;
    std::uint32_t uid = 0;
    // Bytes waiting to be read and to be sent (acknowledged, for TCP); for
    // a listener, the connections waiting to be accepted and their limit.
    std::uint32_t receive_queue = 0;
    std::uint32_t send_queue = 0;
    Protocol protocol = Protocol::tcp;
    Family family = Family::ipv4;
    // The kernel's state (kernel_states in tcp_state.h): a UDP socket is
    // CLOSE when unconnected and ESTABLISHED when connected.
    std::uint8_t state = 0;
    // An IPv6 listener or unconnected socket that takes no IPv4 (the kernel
    // says only for those).
    bool v6only = false;
    // False for a TCP listener read from /proc/net, which gives no backlog
    // limit (its column is 0 there): send_queue is not known.
    bool send_queue_known = true;
    // What the dump told of it besides, when the call asked (null
    // otherwise, and for a row read from /proc/net): in the call's store.
    const SocketDetails* details = nullptr;
};

// The size of an interface's name with its terminator (the kernel's
// IFNAMSIZ, IF_NAMESIZE in <net/if.h>).
constexpr std::size_t interface_name_size = 16;

// The rows of a table as the stages pass them on.
using SocketRows = WorkingVector<SocketRow>;

} // namespace sockscope_detail

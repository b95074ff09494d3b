// One row of the kernel's IPv4 TCP or UDP table, as the row builders take
// it. Addresses and ports keep the kernel's layout: network byte order in
// memory, read as a native number (so 127.0.0.1 is 0x0100007F and port 80
// is 0x5000 on x86-64).
#pragma once

#include <cstdint>

namespace sockscope_detail {

enum class Protocol { tcp, udp };

struct SocketRow {
    std::uint32_t state = 0;        // 1..12 (see tcp_state.h); UDP rows leave it 0
    std::uint32_t local_address = 0;
    std::uint32_t local_port = 0;
    std::uint32_t remote_address = 0;
    std::uint32_t remote_port = 0;
    std::uint64_t inode = 0;        // 0 when no descriptor refers to the socket
    std::uint32_t owner = 0;        // owning process id; 0 when unknown
};

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
// One socket as the command-line tool shows it, whichever table it came
// from. Fields a table does not have (a UDP socket's peer and state) are
// absent rather than zero.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sockscope_tool {

enum class Protocol { tcp, udp };
enum class Family { ipv4, ipv6 };

struct SocketRow {
    Protocol protocol = Protocol::tcp;
    Family family = Family::ipv4;
    std::string local_address;
    std::uint32_t local_port = 0;
    std::optional<std::string> remote_address; // TCP only
    std::optional<std::uint32_t> remote_port;  // TCP only
    std::optional<std::string> state;          // TCP only: "LISTEN", "ESTABLISH", ...
    std::uint32_t pid = 0;                     // 0: owner unknown
    std::optional<std::u16string> name;        // absent: owner unknown or gone
};

// "tcp", "udp", "tcp6", "udp6", as the Proto column shows them.
const char* protocol_column(const SocketRow& row);

} // namespace sockscope_tool

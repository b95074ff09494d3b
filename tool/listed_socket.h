// SPDX-License-Identifier: MIT
// One socket as the command-line tool lists it, whichever table it came
// from. Fields a table does not have (a UDP socket's peer and state) are
// absent rather than zero.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sockscope_tool {

struct ListedSocket {
    enum class Protocol { tcp, udp };
    enum class Family { ipv4, ipv6 };

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

} // namespace sockscope_tool

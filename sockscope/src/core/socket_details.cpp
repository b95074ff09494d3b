// SPDX-License-Identifier: MIT
#include "core/socket_details.h"

#include <algorithm>
#include <cstring>
#include <linux/inet_diag.h>

namespace sockscope_detail {

void read_detail_attribute(unsigned type, const unsigned char* payload, std::size_t length, std::uint32_t wanted,
                           SocketDetails& details) {
    if (type == INET_DIAG_INFO && (wanted & detail_tcp_info) != 0) {
        // An older kernel's struct is a prefix of ours; a newer one's longer.
        const std::size_t taken = std::min(length, sizeof details.info);
        details.info = tcp_info{};
        std::memcpy(&details.info, payload, taken);
        details.tcp_info_size = static_cast<std::uint32_t>(taken);
        details.has_tcp_info = taken > 0;
    } else if (type == INET_DIAG_CONG && (wanted & detail_tcp_info) != 0) {
        // A name the kernel null-terminates; cut to our room, never read past
        // the attribute.
        const std::size_t room = sizeof details.congestion - 1;
        const auto* end = static_cast<const unsigned char*>(std::memchr(payload, 0, std::min(length, room)));
        const std::size_t size = end != nullptr ? static_cast<std::size_t>(end - payload) : std::min(length, room);
        std::memcpy(details.congestion.data(), payload, size);
        details.congestion[size] = '\0';
    } else if (type == INET_DIAG_SKMEMINFO && (wanted & detail_memory) != 0) {
        const std::size_t count = std::min(length / sizeof(std::uint32_t), details.memory.size());
        details.memory.fill(0);
        std::memcpy(details.memory.data(), payload, count * sizeof(std::uint32_t));
        details.has_memory = count > 0;
    }
}

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
// Descriptor link targets as readlink gives them.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/socket_link.h"

using namespace sockscope_detail;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view link(reinterpret_cast<const char*>(data), size);
    std::uint64_t inode = 0;
    if (parse_socket_link(link, inode)) {
        // What parses is "socket:[digits]" and nothing else.
        if (link.substr(0, 8) != "socket:[" || link.back() != ']') std::abort();
        const std::string_view digits = link.substr(8, link.size() - 9);
        if (digits.find_first_not_of("0123456789") != std::string_view::npos) std::abort();
        if (std::to_string(inode).size() > digits.size()) std::abort();
    }
    return 0;
}

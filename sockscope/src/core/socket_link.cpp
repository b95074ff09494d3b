// SPDX-License-Identifier: MIT
#include "core/socket_link.h"

#include "core/decimal.h"

namespace sockscope_detail {

bool parse_socket_link(std::string_view link, std::uint64_t& inode) {
    constexpr std::string_view prefix = "socket:[";
    if (link.size() <= prefix.size() + 1 || link.substr(0, prefix.size()) != prefix || link.back() != ']')
        return false;
    return parse_number(link.substr(prefix.size(), link.size() - prefix.size() - 1), inode);
}

} // namespace sockscope_detail

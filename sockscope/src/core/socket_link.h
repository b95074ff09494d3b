// SPDX-License-Identifier: MIT
// A descriptor's /proc link names its socket: "socket:[12345]".
#pragma once

#include <cstdint>
#include <string_view>

namespace sockscope_detail {

// The inode of a descriptor link "socket:[12345]"; false for any other link.
bool parse_socket_link(std::string_view link, std::uint64_t& inode);

} // namespace sockscope_detail

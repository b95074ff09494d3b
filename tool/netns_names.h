// SPDX-License-Identifier: MIT
// What --netns gives: a network namespace's name under /run/netns, where
// ip netns keeps them, or its inode number. Tables and --events read it
// alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sockscope_tool {

// The inode of the namespace named `name` under /run/netns; 0 when none is
// (errno says why). The option parser takes no '/', "." or "..".
std::uint64_t named_netns_inode(const std::string& name);

// `value` as an inode number: digits alone that fit; nothing otherwise.
std::optional<std::uint64_t> netns_number(const std::string& value);

} // namespace sockscope_tool

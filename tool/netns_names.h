// SPDX-License-Identifier: MIT
// What --netns gives: a network namespace's name under /run/netns, where
// ip netns keeps them, or its inode number. Tables and --events read it
// alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sockscope_tool {

// The inode of the network namespace named `name` under /run/netns; 0 when
// none is (errno says why: EINVAL for an entry that is no network
// namespace). The entry is looked at without being opened for reading
// unless it is a namespace. The option parser takes no '/', "." or "..".
std::uint64_t named_netns_inode(const std::string& name);

// Whether this process may read the network namespace named `name` (of
// inode `inode`) as the library does: by entering it, or through
// /proc/<id>/net of a process in it that it may look at.
bool named_netns_readable(const std::string& name, std::uint64_t inode);

// `value` as an inode number: digits alone that fit; nothing otherwise.
std::optional<std::uint64_t> netns_number(const std::string& value);

} // namespace sockscope_tool

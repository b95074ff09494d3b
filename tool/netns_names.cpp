// SPDX-License-Identifier: MIT
#include "netns_names.h"

#include <cerrno>
#include <charconv>
#include <sys/stat.h>

namespace sockscope_tool {

std::uint64_t named_netns_inode(const std::string& name) {
    if (name == "." || name == ".." || name.find('/') != std::string::npos) {
        errno = ENOENT;
        return 0;
    }
    struct stat file {};
    if (stat(("/run/netns/" + name).c_str(), &file) != 0) return 0;
    return file.st_ino;
}

std::optional<std::uint64_t> netns_number(const std::string& value) {
    std::uint64_t inode = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), inode);
    if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
    return inode;
}

} // namespace sockscope_tool

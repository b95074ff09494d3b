// SPDX-License-Identifier: MIT
#include "linux/file_reader.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "linux/system_call.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

Result<void> read_file_at(int dirfd, const char* path, std::string& contents, std::size_t limit) {
    const int fd = retrying([&] { return ::openat(dirfd, path, O_RDONLY | O_CLOEXEC); });
    if (fd < 0) {
        contents.clear();
        return Failure{errno};
    }
    const UniqueFd file(fd);
    // Small files (a comm, a stat line) fit the first read; /proc/net tables
    // grow the buffer as they are generated.
    std::size_t used = 0;
    contents.resize(std::min<std::size_t>(std::max<std::size_t>(contents.capacity(), 512), limit));
    for (;;) {
        if (used == contents.size()) {
            if (used == limit) break;
            contents.resize(std::min(limit, contents.size() * 2));
        }
        const ssize_t got = retrying([&] { return ::read(fd, contents.data() + used, contents.size() - used); });
        if (got < 0) {
            const int error = errno;
            contents.clear();
            return Failure{error};
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    contents.resize(used);
    return {};
}

Result<std::size_t> read_link_at(int dirfd, const char* path, char* buffer, std::size_t capacity) {
    const ssize_t length = retrying([&] { return ::readlinkat(dirfd, path, buffer, capacity); });
    if (length < 0) return Failure{errno};
    return static_cast<std::size_t>(length);
}

} // namespace sockscope_detail

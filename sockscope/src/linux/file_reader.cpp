// SPDX-License-Identifier: MIT
#include "linux/file_reader.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "linux/unique_fd.h"

namespace sockscope_detail {

int read_file_at(int dirfd, const char* path, std::string& contents, std::size_t limit) {
    int fd;
    do {
        fd = ::openat(dirfd, path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
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
        const ssize_t got = ::read(fd, contents.data() + used, contents.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            contents.clear();
            return error;
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    contents.resize(used);
    return 0;
}

ssize_t read_link_at(int dirfd, const char* path, char* buffer, std::size_t capacity) {
    ssize_t length;
    do {
        length = ::readlinkat(dirfd, path, buffer, capacity);
    } while (length < 0 && errno == EINTR);
    return length < 0 ? -errno : length;
}

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
#include "linux/proc_fs.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "core/decimal.h"
#include "core/failure.h"
#include "linux/file_reader.h"

namespace sockscope_detail {

ProcRoot::ProcRoot(const char* path) {
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) error_ = errno;
    else fd_.reset(fd);
}

ProcRoot::~ProcRoot() = default;

bool ProcRoot::numbers_as_caller() const noexcept {
    if (!fd_.valid()) return false;
    char link[16];
    const ssize_t length = read_link_at(fd_.get(), "self", link, sizeof link);
    std::uint32_t id;
    return length > 0 && parse_number(std::string_view(link, static_cast<std::size_t>(length)), id) &&
           id == static_cast<std::uint32_t>(::getpid());
}

Access access_after(int error) {
    switch (error) {
    case ENOENT:
    case ESRCH: return Access::vanished;
    case EMFILE:
    case ENFILE:
    case ENOMEM: fail(error);
    default: return Access::unknown;
    }
}

ProcessPath::ProcessPath(std::uint32_t id, const char* leaf) {
    if (leaf == nullptr) std::snprintf(text_, sizeof text_, "%u", id);
    else std::snprintf(text_, sizeof text_, "%u/%s", id, leaf);
}

Access open_process(const ProcRoot& root, std::uint32_t id, UniqueFd& process) {
    int fd;
    do {
        fd = ::openat(root.fd(), ProcessPath(id).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return access_after(errno);
    process.reset(fd);
    return Access::granted;
}

} // namespace sockscope_detail

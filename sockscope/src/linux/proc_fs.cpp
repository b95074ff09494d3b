// SPDX-License-Identifier: MIT
#include "linux/proc_fs.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "core/decimal.h"
#include "linux/file_reader.h"
#include "linux/system_call.h"

namespace sockscope_detail {

ProcRoot::ProcRoot(const char* path) {
    const int fd = retrying([path] { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) error_ = errno;
    else fd_.reset(fd);
}

ProcRoot::~ProcRoot() = default;

bool ProcRoot::numbers_as_caller() const noexcept {
    if (!fd_.valid()) return false;
    char link[16];
    const Result<std::size_t> length = read_link_at(fd_.get(), "self", link, sizeof link);
    std::uint32_t id;
    return length && parse_number(std::string_view(link, *length), id) && id == static_cast<std::uint32_t>(::getpid());
}

ProcessPath::ProcessPath(std::uint32_t id, const char* leaf) {
    if (leaf == nullptr) std::snprintf(text_, sizeof text_, "%u", id);
    else std::snprintf(text_, sizeof text_, "%u/%s", id, leaf);
}

Result<UniqueFd> open_process(int root, std::uint32_t id) {
    const ProcessPath path(id);
    const int fd = retrying([&] { return ::openat(root, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return Failure{errno};
    return UniqueFd(fd);
}

} // namespace sockscope_detail

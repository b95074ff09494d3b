// SPDX-License-Identifier: MIT
#include "linux/cgroup_paths.h"

#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "core/container_ids.h"
#include "linux/file_reader.h"
#include "linux/system_call.h"

namespace sockscope_detail {
namespace {

// The kernel's handle type for a kernfs node (include/linux/exportfs.h),
// whose handle is the node's 64-bit id.
constexpr int kernfs_handle_type = 0xfe;

// A mountinfo field, its \ooo escapes (space, tab, newline, backslash)
// undone.
std::string unescaped(std::string_view field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() + 0 && i + 3 <= field.size() - 0 && field.size() - i >= 4) {
            const std::string_view digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string_view::npos) {
                text.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
                i += 3;
                continue;
            }
        }
        text.push_back(field[i]);
    }
    return text;
}

// The mount root and mount point of the first cgroup2 line of mountinfo:
// "<id> <parent> <dev> <root> <point> <options> [tags] - cgroup2 <source> <options>".
bool unified_mount(std::string_view mountinfo, std::string& root, std::string& point) {
    while (!mountinfo.empty()) {
        const std::size_t end = mountinfo.find('\n');
        const std::string_view line = mountinfo.substr(0, end);
        mountinfo = end == std::string_view::npos ? std::string_view{} : mountinfo.substr(end + 1);
        const std::size_t separator = line.find(" - ");
        if (separator == std::string_view::npos || line.substr(separator + 3).rfind("cgroup2 ", 0) != 0) continue;
        std::vector<std::string_view> fields;
        for (std::size_t at = 0; at < separator && fields.size() < 5;) {
            const std::size_t next = line.find(' ', at);
            fields.push_back(line.substr(at, next - at));
            if (next == std::string_view::npos) break;
            at = next + 1;
        }
        if (fields.size() < 5) continue;
        root = unescaped(fields[3]);
        point = unescaped(fields[4]);
        return true;
    }
    return false;
}

} // namespace

Result<CgroupPaths> CgroupPaths::open(const char* proc_root) {
    CgroupPaths paths;
    paths.proc_root_ = proc_root;
    std::string mountinfo;
    const std::string file = std::string(proc_root) + "/self/mountinfo";
    if (const Result<void> read = read_file_at(AT_FDCWD, file.c_str(), mountinfo); !read) {
        if (fails_the_call(read.error())) return read.failure();
        return paths;
    }
    if (!unified_mount(mountinfo, paths.mount_root_, paths.mount_point_)) return paths;
    const int fd = retrying([&] { return ::open(paths.mount_point_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0 && fails_the_call(errno)) return Failure{errno};
    paths.hierarchy_.reset(fd);
    return paths;
}

Result<std::string> CgroupPaths::path_of(std::uint64_t id, std::uint32_t pid) const {
    if (id == 0 || !hierarchy_.valid()) return std::string{};
    // By handle: a kernfs handle is the node's id.
    struct {
        file_handle head;
        std::uint64_t id;
    } handle{};
    handle.head.handle_bytes = sizeof handle.id;
    handle.head.handle_type = kernfs_handle_type;
    handle.id = id;
    const int fd = retrying([&] { return ::open_by_handle_at(hierarchy_.get(), &handle.head, O_RDONLY | O_CLOEXEC); });
    if (fd >= 0) {
        const UniqueFd cgroup(fd);
        char link[4096];
        const std::string self = proc_root_ + "/self/fd/" + std::to_string(fd);
        const Result<std::size_t> length = read_link_at(AT_FDCWD, self.c_str(), link, sizeof link);
        if (!length) return fails_the_call(length.error()) ? Result<std::string>(length.failure()) : std::string{};
        const std::string_view seen(link, *length);
        if (*length < sizeof link && seen.rfind(mount_point_, 0) == 0) {
            std::string_view below = seen.substr(mount_point_.size());
            if (mount_point_ == "/") below = seen.substr(1);
            if (!below.empty() && below.front() != '/') return std::string{}; // another mount's file
            std::string path = mount_root_ == "/" ? std::string{} : mount_root_;
            path += below;
            return path.empty() ? std::string("/") : path;
        }
        return std::string{};
    }
    if (fails_the_call(errno)) return Failure{errno};
    // Not ours to open by handle: the owner's own word, when it still holds.
    if (pid == 0) return std::string{};
    std::string contents;
    const std::string file = proc_root_ + "/" + std::to_string(pid) + "/cgroup";
    if (const Result<void> read = read_file_at(AT_FDCWD, file.c_str(), contents, 4096); !read)
        return fails_the_call(read.error()) ? Result<std::string>(read.failure()) : std::string{};
    const std::string path(cgroup_path(contents));
    if (path.empty() || path.front() != '/') return std::string{};
    std::string relative = path == "/" ? std::string(".") : path.substr(1);
    if (mount_root_ != "/") {
        // The process's path is from the hierarchy's root; the mount shows
        // only what is below mount_root_.
        if (path.rfind(mount_root_, 0) != 0) return std::string{};
        relative = path.size() == mount_root_.size() ? std::string(".") : path.substr(mount_root_.size() + 1);
    }
    struct stat directory;
    if (::fstatat(hierarchy_.get(), relative.c_str(), &directory, 0) != 0)
        return fails_the_call(errno) ? Result<std::string>(Failure{errno}) : std::string{};
    return static_cast<std::uint64_t>(directory.st_ino) == id ? path : std::string{};
}

} // namespace sockscope_detail

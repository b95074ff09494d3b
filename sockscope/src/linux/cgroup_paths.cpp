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

// Whether the part of a mountinfo line after " - " ("<type> <source>
// <super options>") is the unified hierarchy's, or with `systemd` the v1
// hierarchy named "systemd".
bool is_hierarchy(std::string_view filesystem, bool systemd) {
    if (!systemd) return filesystem.starts_with("cgroup2 ");
    if (!filesystem.starts_with("cgroup ")) return false;
    const std::size_t options = filesystem.rfind(' ');
    for (std::string_view rest = filesystem.substr(options + 1); !rest.empty();) {
        const std::size_t comma = std::min(rest.find(','), rest.size());
        if (rest.substr(0, comma) == "name=systemd") return true;
        rest.remove_prefix(std::min(comma + 1, rest.size()));
    }
    return false;
}

// The mount root and mount point of the first line of mountinfo that
// mounts the hierarchy is_hierarchy() asks for:
// "<id> <parent> <dev> <root> <point> <options> [tags] - <type> <source> <options>".
bool hierarchy_mount(std::string_view mountinfo, bool systemd, std::string& root, std::string& point) {
    while (!mountinfo.empty()) {
        const std::size_t end = mountinfo.find('\n');
        const std::string_view line = mountinfo.substr(0, end);
        mountinfo = end == std::string_view::npos ? std::string_view{} : mountinfo.substr(end + 1);
        const std::size_t separator = line.find(" - ");
        if (separator == std::string_view::npos || !is_hierarchy(line.substr(separator + 3), systemd)) continue;
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

// The directory `path` (from the hierarchy's root, as /proc/<pid>/cgroup
// writes it) relative to a mount of the hierarchy's `mount_root`; empty
// when that mount doesn't show it.
std::string relative_to_mount(std::string_view path, const std::string& mount_root) {
    if (path.empty() || path.front() != '/') return {};
    if (mount_root != "/") {
        if (!path.starts_with(mount_root) || (path.size() > mount_root.size() && path[mount_root.size()] != '/'))
            return {};
        path.remove_prefix(mount_root.size());
    }
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    return path.empty() ? std::string(".") : std::string(path);
}

// A directory of the hierarchy mounted at `point`, opened; an invalid
// descriptor when it can't be (fails only for the caller's own resources).
Result<UniqueFd> open_hierarchy(const std::string& point) {
    const int fd = retrying([&] { return ::open(point.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0 && fails_the_call(errno)) return Failure{errno};
    return UniqueFd(fd);
}

} // namespace

Result<CgroupPaths> CgroupPaths::open(const char* proc_root) {
    const std::string file = std::string(proc_root) + "/self/mountinfo";
    return open_with(AT_FDCWD, file.c_str(), proc_root);
}

Result<CgroupPaths> CgroupPaths::open_at(int proc_fd) { return open_with(proc_fd, "self/mountinfo", "/proc"); }

Result<CgroupPaths> CgroupPaths::open_with(int dirfd, const char* mountinfo_path, const char* proc_root) {
    CgroupPaths paths;
    paths.proc_root_ = proc_root;
    std::string mountinfo;
    if (const Result<void> read = read_file_at(dirfd, mountinfo_path, mountinfo); !read) {
        if (fails_the_call(read.error())) return read.failure();
        return paths;
    }
    if (hierarchy_mount(mountinfo, false, paths.mount_root_, paths.mount_point_)) {
        Result<UniqueFd> opened = open_hierarchy(paths.mount_point_);
        if (!opened) return opened.failure();
        paths.hierarchy_ = std::move(opened).value();
    }
    std::string systemd_point;
    if (hierarchy_mount(mountinfo, true, paths.systemd_root_, systemd_point)) {
        Result<UniqueFd> opened = open_hierarchy(systemd_point);
        if (!opened) return opened.failure();
        paths.systemd_ = std::move(opened).value();
    }
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
    if (const Result<void> read = read_file_at(AT_FDCWD, file.c_str(), contents); !read)
        return fails_the_call(read.error()) ? Result<std::string>(read.failure()) : std::string{};
    bool unified;
    const std::string path(cgroup_path(contents, unified));
    // The process's path is from the hierarchy's root; the mount shows
    // only what is below mount_root_.
    const std::string relative = relative_to_mount(path, mount_root_);
    if (!unified || relative.empty()) return std::string{};
    struct stat directory;
    if (::fstatat(hierarchy_.get(), relative.c_str(), &directory, 0) != 0)
        return fails_the_call(errno) ? Result<std::string>(Failure{errno}) : std::string{};
    return static_cast<std::uint64_t>(directory.st_ino) == id ? path : std::string{};
}

} // namespace sockscope_detail

namespace sockscope_detail {

Result<PlacedContainer> CgroupPaths::container_of(std::string_view path, bool unified) const {
    PlacedContainer found;
    ContainerInPath in = container_in(path);
    const UniqueFd& hierarchy = unified ? hierarchy_ : systemd_;
    const std::string relative = relative_to_mount(in.directory, unified ? mount_root_ : systemd_root_);
    if (in.id.empty() || !hierarchy.valid() || relative.empty()) return found;
    struct stat directory;
    if (::fstatat(hierarchy.get(), relative.c_str(), &directory, AT_SYMLINK_NOFOLLOW) != 0)
        return fails_the_call(errno) ? Result<PlacedContainer>(Failure{errno}) : found;
    if (!S_ISDIR(directory.st_mode)) return found;
    if (directory.st_uid == 0) {
        found.id = std::move(in.id);
    } else {
        found.user_id = std::move(in.id);
        found.user = directory.st_uid;
    }
    return found;
}

} // namespace sockscope_detail

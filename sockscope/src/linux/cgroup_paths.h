// SPDX-License-Identifier: MIT
// The paths of cgroups in the unified hierarchy, found from their ids: the
// id a BPF program takes of a task's cgroup is the inode of that cgroup's
// directory, and stays valid after the task has ended.
#pragma once

#include <cstdint>
#include <string>

#include "core/result.h"
#include "linux/unique_fd.h"

namespace sockscope_detail {

class CgroupPaths {
public:
    // The unified hierarchy where /proc/self/mountinfo shows it (the first
    // cgroup2 mount: /sys/fs/cgroup, or /sys/fs/cgroup/unified on hybrid
    // hosts). A host without one finds no path. Fails only when the
    // caller's own resources do.
    static Result<CgroupPaths> open(const char* proc_root = "/proc");

    // The path of cgroup `id` from the hierarchy's root
    // ("/system.slice/docker-<id>.scope", as /proc/<pid>/cgroup writes it),
    // by the cgroup's handle (which takes CAP_DAC_READ_SEARCH), else by
    // `pid`'s /proc/<pid>/cgroup when the directory that names has inode
    // `id`. Empty when neither finds it: the cgroup is gone, or not ours to
    // look up.
    Result<std::string> path_of(std::uint64_t id, std::uint32_t pid) const;

private:
    UniqueFd hierarchy_;
    std::string mount_point_; // where the caller sees it mounted
    std::string mount_root_;  // the hierarchy's folder mounted there ("/" mostly)
    std::string proc_root_;
};

} // namespace sockscope_detail

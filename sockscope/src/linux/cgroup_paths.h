// SPDX-License-Identifier: MIT
// The paths of cgroups in the unified hierarchy, found from their ids: the
// id a BPF program takes of a task's cgroup is the inode of that cgroup's
// directory, and stays valid after the task has ended.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/container_ids.h"
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
    // The same, by the descriptor of an open /proc.
    static Result<CgroupPaths> open_at(int proc_fd);

    // The path of cgroup `id` from the hierarchy's root
    // ("/system.slice/docker-<id>.scope", as /proc/<pid>/cgroup writes it),
    // by the cgroup's handle (which takes CAP_DAC_READ_SEARCH), else by
    // `pid`'s /proc/<pid>/cgroup when the directory that names has inode
    // `id`. Empty when neither finds it: the cgroup is gone, or not ours to
    // look up.
    Result<std::string> path_of(std::uint64_t id, std::uint32_t pid) const;

    // The container that `path` names (core/container_ids.h) and who made
    // its directory: a directory only root may have made is a runtime's;
    // one that another user owns is in a subtree delegated to that user,
    // who may name its directories as it likes. From the
    // unified hierarchy, or with !unified the v1 hierarchy "systemd" (as
    // cgroup_path() tells); nothing when the path names none or its
    // directory can't be seen (gone, or not mounted where the caller
    // looks): an id is never given unchecked.
    Result<PlacedContainer> container_of(std::string_view path, bool unified) const;

private:
    static Result<CgroupPaths> open_with(int dirfd, const char* mountinfo_path, const char* proc_root);

    UniqueFd hierarchy_;
    std::string mount_point_; // where the caller sees it mounted
    std::string mount_root_;  // the hierarchy's folder mounted there ("/" mostly)
    std::string proc_root_;
    UniqueFd systemd_;         // the v1 hierarchy "systemd", where mounted
    std::string systemd_root_; // its folder mounted there
};

} // namespace sockscope_detail

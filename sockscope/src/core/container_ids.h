// SPDX-License-Identifier: MIT
// Which container a process runs in, read from its cgroup path as the
// container runtimes name their cgroups:
//
//   Docker          .../docker-<id>.scope (systemd driver), /docker/<id>
//   containerd/CRI  .../cri-containerd-<id>.scope
//   CRI-O           .../crio-<id>.scope
//   Podman          .../libpod-<id>.scope
//   Kubernetes      kubepods.slice/.../kubepods-<qos>-pod<uid>.slice/<one of
//                   the above>, or /kubepods/<qos>/pod<uid>/<id> (cgroupfs
//                   driver)
//   systemd-nspawn  machine.slice/machine-<name>.scope
//
// where <id> is 64 hexadecimal digits. A runtime's scope sits in a slice
// (systemd makes scopes nowhere else), so a scope whose parent is no
// ".slice" names no container. The runtimes' own helpers
// (crio-conmon-<id>.scope, libpod-conmon-<id>.scope) are not containers. A
// path that matches none of these gives no id: never a guess.
//
// A name is only a name: whoever may make directories in a cgroup subtree
// may name one docker-<any id>.scope. Who made it is told by who owns that
// directory (linux/cgroup_paths.h): root's runtimes, or a user's in a
// subtree delegated to that user (rootless Podman and Docker, and anything
// else that user runs).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sockscope_detail {

// The cgroup path of a process from its /proc/<id>/cgroup: the unified
// hierarchy's line ("0::/system.slice/docker-<id>.scope"), which also
// carries the path on hybrid hosts where every v1 controller says "/", or
// on a host with v1 only, the name=systemd line. Empty when neither is
// there.
std::string_view cgroup_path(std::string_view proc_cgroup);
// The same, and whether it is the unified hierarchy's line.
std::string_view cgroup_path(std::string_view proc_cgroup, bool& unified);

// The container id in a cgroup path (the innermost one when containers
// nest), and the path of the cgroup directory whose name carries it (a
// start of `cgroup_path`); both empty when the path matches no runtime
// above.
struct ContainerInPath {
    std::string id;
    std::string_view directory;
};
ContainerInPath container_in(std::string_view cgroup_path);

// The container a process runs in, told by who made the cgroup directory
// that names it (linux/cgroup_paths.h): root's runtimes (id), or a user in
// a subtree delegated to it (user_id, user): rootless Podman and Docker put
// their containers there, and so may anything that user runs.
struct PlacedContainer {
    std::string id;         // a runtime's container; empty otherwise
    std::string user_id;    // the id named in a user's directory; empty otherwise
    std::uint32_t user = 0; // that directory's owner, with user_id
};

// container_in(cgroup_path).id.
std::string container_id(std::string_view cgroup_path);

} // namespace sockscope_detail

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
// where <id> is 64 hexadecimal digits. The runtimes' own helpers
// (crio-conmon-<id>.scope, libpod-conmon-<id>.scope) are not containers. A
// path that matches none of these gives no id: never a guess.
#pragma once

#include <string>
#include <string_view>

namespace sockscope_detail {

// The cgroup path of a process from its /proc/<id>/cgroup: the unified
// hierarchy's line ("0::/system.slice/docker-<id>.scope"), which also
// carries the path on hybrid hosts where every v1 controller says "/", or
// on a host with v1 only, the name=systemd line. Empty when neither is
// there.
std::string_view cgroup_path(std::string_view proc_cgroup);

// The container id in a cgroup path (the innermost one when containers
// nest); empty when the path matches no runtime above.
std::string container_id(std::string_view cgroup_path);

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
// Container ids from cgroup paths, as each runtime names its cgroups, and
// the cgroup path from /proc/<id>/cgroup on unified, hybrid and v1 hosts.
#include <gtest/gtest.h>
#include <string>

#include "core/container_ids.h"

using namespace sockscope_detail;

namespace {

const std::string id(64, 'a');
const std::string other = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(ContainerIds, EachRuntimesPattern) {
    const std::pair<std::string, std::string> cases[] = {
        {"/system.slice/docker-" + id + ".scope", id},
        {"/docker/" + id, id},
        {"/system.slice/containerd.service/kubepods-besteffort-pod1f2e.slice:cri-containerd:" + id, ""},
        {"/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod1f2e.slice/cri-containerd-" + id + ".scope", id},
        {"/kubepods.slice/kubepods-pod9.slice/crio-" + id + ".scope", id},
        {"/kubepods/burstable/pod1f2e-33/" + id, id},
        {"/machine.slice/libpod-" + id + ".scope/container", id},
        {"/machine.slice/machine-web\\x2dfront.scope", "web-front"},
        // A container in a container: the innermost.
        {"/system.slice/docker-" + id + ".scope/docker/" + other, other},
        // The runtimes' helpers, and what merely looks like an id.
        {"/machine.slice/libpod-conmon-" + id + ".scope", ""},
        {"/kubepods.slice/crio-conmon-" + id + ".scope", ""},
        {"/system.slice/docker-" + id.substr(1) + ".scope", ""},
        {"/system.slice/docker-" + std::string(64, 'A') + ".scope", ""},
        {"/user.slice/user-1000.slice/session-2.scope", ""},
        {"/" + id, ""},
        // A scope outside a slice: no runtime's (systemd makes none there).
        {"/docker-" + id + ".scope", ""},
        {"/mine/docker-" + id + ".scope", ""},
        {"/", ""},
        {"", ""},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(container_id(path), expected) << path;
    // The directory whose name carries the id: its owner tells who made it.
    EXPECT_EQ(container_in("/machine.slice/libpod-" + id + ".scope/container").directory, "/machine.slice/libpod-" + id + ".scope");
    EXPECT_EQ(container_in("/docker/" + id + "/x").directory, "/docker/" + id);
}

TEST(ContainerIds, TheCgroupPathOfEachKindOfHost) {
    EXPECT_EQ(cgroup_path("0::/system.slice/ssh.service\n"), "/system.slice/ssh.service");
    // Hybrid: v1 controllers say "/", the unified line carries the path.
    EXPECT_EQ(cgroup_path("9:name=systemd:/\n4:memory:/\n0::/machine.slice/x.scope\n"), "/machine.slice/x.scope");
    // v1 only: the name=systemd line.
    EXPECT_EQ(cgroup_path("12:pids:/a\n1:name=systemd:/system.slice/cron.service\n"), "/system.slice/cron.service");
    EXPECT_EQ(cgroup_path("12:pids:/a\n"), "");
    EXPECT_EQ(cgroup_path(""), "");
}

} // namespace

// SPDX-License-Identifier: MIT
// The container the tool names for an owner, against cgroups the tests
// make: a /proc/<pid>/cgroup longer than a page whose v1 line names another
// container, and a Docker-named cgroup in a subtree a user other than root
// owns.
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/network_namespaces.h"
#include "support/tool_run.h"

using namespace sockscope_test;

namespace {

// The mount points of the unified hierarchy, of the v1 one named systemd,
// and of the v1 controllers' (not cpuset's, which takes no process before
// it is given CPUs).
struct CgroupMounts {
    std::string unified, systemd;
    std::vector<std::string> controllers;
};

CgroupMounts cgroup_mounts() {
    CgroupMounts mounts;
    std::ifstream mountinfo("/proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
        const auto separator = line.find(" - ");
        if (separator == std::string::npos) continue;
        std::istringstream fields(line.substr(0, separator)), after(line.substr(separator + 3));
        std::string skip, point, type, options;
        fields >> skip >> skip >> skip >> skip >> point;
        after >> type >> skip >> options;
        options = "," + options + ",";
        if (type == "cgroup2" && mounts.unified.empty()) mounts.unified = point;
        if (type == "cgroup" && options.find(",name=systemd,") != std::string::npos) mounts.systemd = point;
        else if (type == "cgroup" && options.find(",cpuset,") == std::string::npos) mounts.controllers.push_back(point);
    }
    return mounts;
}

// A container id of 64 hex digits that no other run uses.
std::string unique_id(const std::string& start) {
    const std::string id = start + std::to_string(getpid());
    return id + std::string(64 - id.size(), '0');
}

// The owner of the one row --json gives for `listener`'s socket.
JsonValue owner_of(const NamespacedListener& listener) {
    const auto rows = run_json({"-Al", "--pid", std::to_string(listener.pid())});
    return rows.size() == 1 && rows[0].member("owners")->array.size() == 1 ? rows[0].member("owners")->array[0] : JsonValue{};
}

TEST(ToolContainers, ALongCgroupFileGivesTheUnifiedLinesContainerNotAV1Lines) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make cgroups";
    const CgroupMounts mounts = cgroup_mounts();
    if (mounts.unified.empty() || mounts.systemd.empty() || mounts.controllers.empty())
        GTEST_SKIP() << "not a hybrid host: no v1 lines come before the unified one";
    const std::string id = unique_id("ab"), unified_path = "/system.slice/docker-" + id + ".scope";
    const TestCgroup docker(unified_path, mounts.unified);
    const TestCgroup decoy("/system.slice/docker-" + unique_id("cd") + ".scope", mounts.systemd);
    // Each controller's line long enough for the file to pass 4.5 KB.
    std::string long_path = "/sockscope-long-" + std::to_string(getpid());
    while (long_path.size() * mounts.controllers.size() < 4600) long_path += "/" + std::string(250, 'x');
    std::vector<std::unique_ptr<TestCgroup>> long_ones;
    for (const std::string& mount : mounts.controllers) long_ones.push_back(std::make_unique<TestCgroup>(long_path, mount));
    const NamespacedListener listener(0, nullptr);
    ASSERT_TRUE(listener.ready() && docker.add(listener.pid()) && decoy.add(listener.pid()));
    for (const auto& made : long_ones) ASSERT_TRUE(made->add(listener.pid()));
    std::ifstream file("/proc/" + std::to_string(listener.pid()) + "/cgroup");
    ASSERT_GT(std::string(std::istreambuf_iterator<char>(file), {}).size(), 4600u);

    const JsonValue owner = owner_of(listener);
    ASSERT_TRUE(owner.is(JsonValue::Kind::object));
    EXPECT_EQ(text(owner, "cgroup"), unified_path);
    EXPECT_EQ(text(owner, "container"), id);
}

TEST(ToolContainers, AnIdInASubtreeAUserOwnsIsMarkedAsThatUsersAndNeverSelectedAsTheContainer) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make cgroups and give them to a user";
    const CgroupMounts mounts = cgroup_mounts();
    if (mounts.unified.empty()) GTEST_SKIP() << "no unified cgroup hierarchy is mounted";
    // What a user with a delegated subtree can make: any name in it.
    const std::string victim = unique_id("ef"), slice = "/sockscope-delegated-" + std::to_string(getpid()) + ".slice";
    const TestCgroup delegated(slice, mounts.unified, 65534);
    const TestCgroup look_alike(slice + "/docker-" + victim + ".scope", mounts.unified, 65534);
    const NamespacedListener listener(0, nullptr);
    ASSERT_TRUE(listener.ready() && look_alike.add(listener.pid()));

    const JsonValue owner = owner_of(listener);
    ASSERT_TRUE(owner.is(JsonValue::Kind::object));
    EXPECT_TRUE(is_null(owner, "container"));
    EXPECT_EQ(text(owner, "user_container"), victim);
    EXPECT_EQ(number(owner, "container_user"), 65534);
    // The table's Container (with -A, the tenth field) says whose it is.
    const auto lines = lines_at(run_tool({"-Al", "--pid", std::to_string(listener.pid())}).out, "127.0.0.1", listener.port());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].at(9), "user65534:" + victim.substr(0, 12));
    // --container of the victim's id does not take it.
    for (const JsonValue& row : run_json({"-l", "--container", victim}))
        EXPECT_NE(number(row.member("owners")->array.at(0), "pid"), listener.pid());
}

} // namespace

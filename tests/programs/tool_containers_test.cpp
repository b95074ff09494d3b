// SPDX-License-Identifier: MIT
// The container the tool names for an owner, against cgroups the tests
// make: a /proc/<pid>/cgroup longer than a page whose v1 lines name another
// container, and a Docker-named cgroup in a subtree a user other than root
// owns.
#include <arpa/inet.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/holding_child.h"
#include "support/tool_run.h"

using namespace sockscope_test;

namespace {

// The mount points of the unified hierarchy, of the v1 hierarchy named
// systemd, and of the v1 controllers' (but cpuset's, which takes no process
// before it is given CPUs), from /proc/self/mountinfo.
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
        std::string skip, point, type, source, options;
        fields >> skip >> skip >> skip >> skip >> point;
        after >> type >> source >> options;
        if (type == "cgroup2" && mounts.unified.empty()) mounts.unified = point;
        if (type != "cgroup") continue;
        if (("," + options + ",").find(",name=systemd,") != std::string::npos)
            mounts.systemd = point;
        else if (("," + options + ",").find(",cpuset,") == std::string::npos)
            mounts.controllers.push_back(point);
    }
    return mounts;
}

// A cgroup directory the test makes (with its missing parents) and gives
// to `owner`; removed with the parents it made, innermost first. Declared
// before the processes moved into it, so that they are gone by then.
class MadeCgroup {
public:
    MadeCgroup(const std::string& mount, const std::string& path, uid_t owner = 0) : mount_(mount) {
        for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
            const std::string part = path.substr(0, slash);
            if (mkdir((mount + part).c_str(), 0755) == 0) made_.push_back(part);
            if (slash == std::string::npos) break;
        }
        struct stat made {};
        ready_ = stat((mount + path).c_str(), &made) == 0 && chown((mount + path).c_str(), owner, owner) == 0;
        path_ = path;
    }
    ~MadeCgroup() {
        for (auto part = made_.rbegin(); part != made_.rend(); ++part) rmdir((mount_ + *part).c_str());
    }
    MadeCgroup(const MadeCgroup&) = delete;
    MadeCgroup& operator=(const MadeCgroup&) = delete;
    bool ready() const { return ready_; }
    bool add(pid_t pid) const {
        std::ofstream procs(mount_ + path_ + "/cgroup.procs");
        procs << pid << std::flush;
        return procs.good();
    }

private:
    std::string mount_, path_;
    std::vector<std::string> made_;
    bool ready_ = false;
};

// A child listening on 127.0.0.1 (a port the kernel picks), which it alone
// holds.
class ListeningChild {
public:
    ListeningChild()
        : child_([] {
              const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
              sockaddr_in address{};
              address.sin_family = AF_INET;
              address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
              socklen_t length = sizeof address;
              if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0 ||
                  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
                  return 0;
              return static_cast<int>(ntohs(address.sin_port));
          }) {}
    pid_t pid() const { return child_.pid(); }
    std::string port() { return std::to_string(child_.reported()); }

private:
    HoldingChild child_;
};

// A container id of 64 hex digits that no other run uses.
std::string unique_id(const std::string& start) {
    const std::string id = start + std::to_string(getpid());
    return id + std::string(64 - id.size(), '0');
}

// The child's own row of --json (its listener), as the tool gives it.
const JsonValue* owner_in(const std::vector<JsonValue>& rows, pid_t pid) {
    for (const JsonValue& row : rows)
        for (const JsonValue& owner : row.member("owners")->array)
            if (number(owner, "pid") == pid) return &owner;
    return nullptr;
}

TEST(ToolContainers, ALongCgroupFileGivesTheUnifiedLinesContainerNotAV1Lines) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make cgroups";
    const CgroupMounts mounts = cgroup_mounts();
    if (mounts.unified.empty() || mounts.systemd.empty() || mounts.controllers.empty())
        GTEST_SKIP() << "not a hybrid host: no v1 lines come before the unified one (container_ids_test reads such a file)";
    const std::string id = unique_id("ab"), other = unique_id("cd");
    const std::string unified_path = "/system.slice/docker-" + id + ".scope";
    const MadeCgroup docker(mounts.unified, unified_path);
    const MadeCgroup decoy(mounts.systemd, "/system.slice/docker-" + other + ".scope");
    // Each controller's line long enough for the whole file to pass 4.5 KB.
    std::string long_path = "/sockscope-long-" + std::to_string(getpid());
    while (long_path.size() * mounts.controllers.size() < 4600) long_path += "/" + std::string(250, 'x');
    std::vector<std::unique_ptr<MadeCgroup>> long_ones;
    for (const std::string& mount : mounts.controllers) long_ones.push_back(std::make_unique<MadeCgroup>(mount, long_path));
    ListeningChild child;
    const std::string port = child.port();
    ASSERT_TRUE(docker.ready() && decoy.ready() && docker.add(child.pid()) && decoy.add(child.pid()));
    for (const auto& made : long_ones) ASSERT_TRUE(made->ready() && made->add(child.pid()));
    std::ifstream file("/proc/" + std::to_string(child.pid()) + "/cgroup");
    const std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(contents.size(), 4600u);

    const auto rows = run_json({"-l", "--port", port, "--pid", std::to_string(child.pid())});
    const JsonValue* owner = owner_in(rows, child.pid());
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(text(*owner, "cgroup"), unified_path);
    EXPECT_EQ(text(*owner, "container"), id);
}

TEST(ToolContainers, AnIdInASubtreeAUserOwnsIsMarkedAsThatUsersAndNeverSelectedAsTheContainer) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make cgroups and give them to a user";
    const CgroupMounts mounts = cgroup_mounts();
    if (mounts.unified.empty()) GTEST_SKIP() << "no unified cgroup hierarchy is mounted";
    // What a user with a delegated subtree can make: any name in it.
    const std::string victim = unique_id("ef"), slice = "/sockscope-delegated-" + std::to_string(getpid()) + ".slice";
    const MadeCgroup delegated(mounts.unified, slice, 65534);
    const MadeCgroup look_alike(mounts.unified, slice + "/docker-" + victim + ".scope", 65534);
    ListeningChild child;
    const std::string port = child.port(), pid = std::to_string(child.pid());
    ASSERT_TRUE(delegated.ready() && look_alike.ready() && look_alike.add(child.pid()));

    const JsonValue* owner = nullptr;
    const auto rows = run_json({"-l", "--port", port, "--pid", pid});
    ASSERT_NE(owner = owner_in(rows, child.pid()), nullptr);
    EXPECT_TRUE(is_null(*owner, "container"));
    EXPECT_EQ(text(*owner, "user_container"), victim);
    EXPECT_EQ(number(*owner, "container_user"), 65534);
    // The table: Container (after Netns, with -A) says whose.
    const auto lines = lines_at(run_tool({"-Al", "--port", port, "--pid", pid}).out, "127.0.0.1", static_cast<unsigned>(std::stoul(port)));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].at(9), "user65534:" + victim.substr(0, 12));
    // --container of the victim's id does not take it.
    EXPECT_EQ(owner_in(run_json({"-l", "--container", victim}), child.pid()), nullptr);
}

} // namespace

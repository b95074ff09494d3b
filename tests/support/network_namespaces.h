// SPDX-License-Identifier: MIT
// Network namespaces and cgroups that tests make and take down: a process
// listening in a namespace of its own, placed in a cgroup named as a
// container runtime names its own; a named namespace (ip netns) that holds
// a socket and no process.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "holding_child.h"

namespace sockscope_test {

// The inode of the network namespace of process `pid` (0: this one's).
std::uint64_t netns_of(pid_t pid);

// Inside a forked child (run_isolated): a mount namespace of its own whose
// /run/netns is an empty tmpfs, so that the entries and `ip netns` names
// it makes are its own and the machine's stay as they are. False when
// that can't be set up.
bool private_netns_folder();

// Runs `body` in a forked child that is the first process of network, PID
// and mount namespaces of its own, with loopback up and a /proc of its own:
// the machine's other sockets and processes out of its view. As
// run_isolated: "" when all is well, "skip: why", or the fault.
std::string run_in_own_namespaces(const std::function<std::string()>& body,
                                  std::chrono::seconds timeout = std::chrono::seconds(60));

// A TCP listener on every address of the calling thread's namespace, left
// open; the inode of its socket, or -1.
int listener_inode();

// A cgroup made at `path` ("/system.slice/x") under the hierarchy mounted
// at `hierarchy` (default: the unified one, /sys/fs/cgroup or
// /sys/fs/cgroup/unified on hybrid hosts) and given to `owner`; removed
// with the folders it made, innermost first, once its processes are gone
// (a cgroup whose last process was just reaped stays busy for a moment).
class TestCgroup {
public:
    explicit TestCgroup(const std::string& path, const std::string& hierarchy = {}, uid_t owner = 0);
    ~TestCgroup();
    TestCgroup(const TestCgroup&) = delete;
    TestCgroup& operator=(const TestCgroup&) = delete;
    bool made() const { return made_; }
    bool add(pid_t pid) const;

private:
    std::string hierarchy_, path_;
    std::vector<std::string> folders_; // the folders it made, outermost first
    bool made_ = false;
};

// A child in a network namespace of its own with loopback up, listening on
// 127.0.0.1:`port` (0: one the kernel picks), placed in `cgroup` if given.
class NamespacedListener {
public:
    explicit NamespacedListener(unsigned port = 0, const TestCgroup* cgroup = nullptr);
    pid_t pid() const { return child_->pid(); }
    unsigned port() const { return port_; }
    bool ready() const { return port_ != 0; }

private:
    std::unique_ptr<HoldingChild> child_;
    unsigned port_ = 0;
};

// A namespace made with `ip netns add`, deleted after; while it lives, this
// process holds a listener on 127.0.0.1:`port` inside it, and no process is
// in it.
class NamedNamespace {
public:
    NamedNamespace(const std::string& name, unsigned port);
    ~NamedNamespace();
    NamedNamespace(const NamedNamespace&) = delete;
    NamedNamespace& operator=(const NamedNamespace&) = delete;
    bool ready() const { return listener_ >= 0; }
    std::uint64_t inode() const { return inode_; }

private:
    std::string name_;
    int listener_ = -1;
    std::uint64_t inode_ = 0;
};

} // namespace sockscope_test

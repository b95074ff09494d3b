// SPDX-License-Identifier: MIT
#include "network_namespaces.h"

#include "isolated_child.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace sockscope_test {
namespace {

// Loopback up in the calling thread's namespace.
bool loopback_up() {
    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = control >= 0 && ioctl(control, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(control, SIOCSIFFLAGS, &request) == 0;
    if (control >= 0) close(control);
    return up;
}

// Loopback up in the calling thread's namespace; a listener on 127.0.0.1.
int listen_on_loopback(unsigned port) {
    const bool up = loopback_up();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (!up || fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0)
        return -1;
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return fd;
}

unsigned port_of(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// The mount point of the unified cgroup hierarchy; empty when none.
std::string unified_hierarchy() {
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        const auto dash = line.find(" - cgroup2 ");
        if (dash == std::string::npos) continue;
        std::istringstream fields(line);
        std::string field, mount_point;
        for (int i = 0; i < 5 && fields >> field; ++i) mount_point = field;
        return mount_point;
    }
    return {};
}

} // namespace

std::uint64_t netns_of(pid_t pid) {
    struct stat file {};
    const std::string path = pid == 0 ? "/proc/self/ns/net" : "/proc/" + std::to_string(pid) + "/ns/net";
    return stat(path.c_str(), &file) == 0 ? file.st_ino : 0;
}

bool private_netns_folder() {
    mkdir("/run/netns", 0755);
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("sockscope-test", "/run/netns", "tmpfs", 0, "mode=755") == 0;
}

int listener_inode() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct stat file {};
    if (fd < 0 || listen(fd, 8) != 0 || fstat(fd, &file) != 0) return -1;
    return static_cast<int>(file.st_ino);
}

TestCgroup::TestCgroup(const std::string& path, const std::string& hierarchy, uid_t owner)
    : hierarchy_(hierarchy.empty() ? unified_hierarchy() : hierarchy), path_(path) {
    if (hierarchy_.empty()) return;
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        if (mkdir((hierarchy_ + path.substr(0, slash)).c_str(), 0755) == 0) folders_.push_back(path.substr(0, slash));
        if (slash == std::string::npos) break;
    }
    struct stat made {};
    made_ = stat((hierarchy_ + path_).c_str(), &made) == 0 && S_ISDIR(made.st_mode) &&
            chown((hierarchy_ + path_).c_str(), owner, owner) == 0;
}

TestCgroup::~TestCgroup() {
    for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder)
        for (int wait = 0; rmdir((hierarchy_ + *folder).c_str()) != 0 && errno == EBUSY && wait < 200; ++wait)
            usleep(10000);
}

bool TestCgroup::add(pid_t pid) const {
    std::ofstream procs(hierarchy_ + path_ + "/cgroup.procs");
    procs << pid << std::flush;
    return made_ && procs.good();
}

NamespacedListener::NamespacedListener(unsigned port, const TestCgroup* cgroup) {
    child_ = std::make_unique<HoldingChild>([port] {
        if (unshare(CLONE_NEWNET) != 0) return 0;
        const int fd = listen_on_loopback(port);
        return fd < 0 ? 0 : static_cast<int>(port_of(fd));
    });
    const int reported = child_->reported();
    if (reported <= 0 || (cgroup != nullptr && !cgroup->add(child_->pid()))) return;
    port_ = static_cast<unsigned>(reported);
}

NamedNamespace::NamedNamespace(const std::string& name, unsigned port) : name_(name) {
    if (std::system(("ip netns add '" + name + "' 2>/dev/null").c_str()) != 0) return;
    // A thread enters it, makes the listener and ends: the socket stays in
    // the namespace, held by this process, which is not in it.
    std::thread([this, port] {
        const int ns = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0) listener_ = listen_on_loopback(port);
        if (ns >= 0) close(ns);
    }).join();
    struct stat file {};
    if (stat(("/run/netns/" + name_).c_str(), &file) == 0) inode_ = file.st_ino;
}

NamedNamespace::~NamedNamespace() {
    if (listener_ >= 0) close(listener_);
    std::system(("ip netns delete '" + name_ + "' 2>/dev/null").c_str());
}

std::string run_in_own_namespaces(const std::function<std::string()>& body, std::chrono::seconds timeout) {
    return run_isolated(
        [&body, timeout]() -> std::string {
            if (unshare(CLONE_NEWNET | CLONE_NEWPID | CLONE_NEWNS) != 0)
                return "skip: can't make network, PID and mount namespaces (not root?)";
            // The PID namespace takes the next child as its first process.
            return run_isolated(
                [&body]() -> std::string {
                    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                        mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
                        return "skip: can't mount a /proc of its own";
                    if (!loopback_up()) return "skip: can't bring loopback up";
                    return body();
                },
                timeout);
        },
        timeout + std::chrono::seconds(5));
}

} // namespace sockscope_test

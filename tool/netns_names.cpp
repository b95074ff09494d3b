// SPDX-License-Identifier: MIT
#include "netns_names.h"

#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/nsfs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace sockscope_tool {
namespace {

// /run/netns/<name> opened for reading when it is a network namespace; -1
// otherwise. A FIFO, a device or a plain file there is only looked at,
// through an O_PATH descriptor.
int open_named_netns(const std::string& name) {
    if (name == "." || name == ".." || name.find('/') != std::string::npos) {
        errno = ENOENT;
        return -1;
    }
    const int path = open(("/run/netns/" + name).c_str(), O_PATH | O_CLOEXEC);
    if (path < 0) return -1;
    struct statfs filesystem {};
    int fd = -1;
    errno = EINVAL;
    if (fstatfs(path, &filesystem) == 0 && filesystem.f_type == NSFS_MAGIC)
        fd = open(("/proc/self/fd/" + std::to_string(path)).c_str(), O_RDONLY | O_CLOEXEC);
    const int error = errno;
    close(path);
    errno = error;
    // Kernels before 4.11 can't say a namespace's kind; setns, told
    // CLONE_NEWNET, refuses another there.
    if (const int kind = fd < 0 ? CLONE_NEWNET : ioctl(fd, NS_GET_NSTYPE); kind >= 0 && kind != CLONE_NEWNET) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Whether a process this one may look at is in the namespace of `inode`.
bool readable_process_in(std::uint64_t inode) {
    DIR* processes = opendir("/proc");
    if (processes == nullptr) return false;
    bool found = false;
    while (const dirent* entry = readdir(processes)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        const std::string folder = std::string("/proc/") + entry->d_name;
        struct stat file {};
        if (stat((folder + "/ns/net").c_str(), &file) == 0 && file.st_ino == inode &&
            access((folder + "/net/dev").c_str(), R_OK) == 0) {
            found = true;
            break;
        }
    }
    closedir(processes);
    return found;
}

} // namespace

std::uint64_t named_netns_inode(const std::string& name) {
    const int fd = open_named_netns(name);
    if (fd < 0) return 0;
    struct stat file {};
    const bool known = fstat(fd, &file) == 0;
    close(fd);
    return known ? file.st_ino : 0;
}

bool named_netns_readable(const std::string& name, std::uint64_t inode) {
    const int fd = open_named_netns(name);
    if (fd < 0) return false;
    // Entered from a thread of its own, which ends after: this program's
    // own thread stays where it is.
    bool entered = false;
    try {
        std::thread([&] { entered = setns(fd, CLONE_NEWNET) == 0; }).join();
    } catch (const std::system_error&) {
    }
    close(fd);
    return entered || readable_process_in(inode);
}

std::optional<std::uint64_t> netns_number(const std::string& value) {
    std::uint64_t inode = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), inode);
    if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
    return inode;
}

} // namespace sockscope_tool

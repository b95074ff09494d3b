// SPDX-License-Identifier: MIT
#include "socket_descriptors.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace sockscope_test {

SocketDescriptors socket_descriptors_from_proc(pid_t process) {
    SocketDescriptors found;
    const std::string folder = "/proc/" + std::to_string(process) + "/fd";
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) return found;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        char link[64];
        const ssize_t length = readlinkat(dirfd(listing), entry->d_name, link, sizeof link - 1);
        if (length <= 0) continue;
        link[length] = '\0';
        unsigned long long inode = 0;
        if (std::sscanf(link, "socket:[%llu]", &inode) == 1)
            found.emplace(static_cast<std::uint32_t>(std::strtoul(entry->d_name, nullptr, 10)), inode);
    }
    closedir(listing);
    return found;
}

SocketDescriptors socket_descriptors_of(const sockscope_detail::SocketHolders& holders,
                                        std::uint32_t process) {
    SocketDescriptors found;
    for (const auto& holder : holders)
        if (holder.process == process) found.emplace(holder.fd, holder.inode);
    return found;
}

std::vector<std::uint32_t> holders_of(const sockscope_detail::SocketHolders& holders,
                                      std::uint64_t inode) {
    std::set<std::uint32_t> processes;
    for (const auto& holder : holders)
        if (holder.inode == inode) processes.insert(holder.process);
    return {processes.begin(), processes.end()};
}

std::string malformed(const sockscope_detail::SocketHolders& holders) {
    std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
    for (const auto& holder : holders) {
        const std::string where = "process " + std::to_string(holder.process) + " fd " + std::to_string(holder.fd);
        if (holder.process == 0) return "a record without a process (" + where + ")";
        if (holder.inode == 0) return "a record without an inode (" + where + ")";
        if (!seen.emplace(holder.process, holder.fd).second) return "a descriptor reported twice (" + where + ")";
    }
    return "";
}

std::uint64_t socket_inode(int fd) {
    struct stat status{};
    return fstat(fd, &status) == 0 ? status.st_ino : 0;
}

namespace {

// CAP_SYS_ADMIN, or CAP_BPF with CAP_PERFMON, in the effective set.
bool privileged_for_bpf() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) != 0) continue;
        const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
        const auto has = [caps](int cap) { return (caps >> cap & 1) != 0; };
        return has(21) || (has(38) && has(39));
    }
    return false;
}

} // namespace

std::string why_bpf_unavailable() {
    if (!SOCKSCOPE_TEST_BPF_BUILT) return "the library was built without the BPF iterator";
    if (!privileged_for_bpf()) return "loading BPF needs CAP_BPF and CAP_PERFMON, or CAP_SYS_ADMIN";
    if (access("/sys/kernel/btf/vmlinux", R_OK) != 0) return "the kernel has no BTF (/sys/kernel/btf/vmlinux)";
    const char* scan = std::getenv("SOCKSCOPE_OWNER_SCAN");
    if (scan != nullptr && std::strcmp(scan, "proc") == 0) return "SOCKSCOPE_OWNER_SCAN=proc is set";
    return "";
}

} // namespace sockscope_test

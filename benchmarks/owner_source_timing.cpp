// SPDX-License-Identifier: MIT
// The two sources of socket owners side by side: the BPF iterator
// (read_socket_holders) and reading every /proc/<id>/fd link, with this
// process holding SOCKETS extra socket descriptors (default 2,000; half of
// them in a helper child). Prints the first call's time (which loads the
// program) and the median of ROUNDS further calls of each (default 31).
//
//   owner_source_timing [SOCKETS [ROUNDS]]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "linux/bpf_socket_holders.h"

using namespace sockscope_detail;
using Clock = std::chrono::steady_clock;

namespace {

double milliseconds_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// What the /proc owner scan does at least: every descriptor link of every
// process read once. Returns how many were sockets.
std::size_t read_every_descriptor_link() {
    std::size_t sockets = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    while (const dirent* process = readdir(proc)) {
        if (process->d_name[0] < '1' || process->d_name[0] > '9') continue;
        char path[sizeof process->d_name + 16];
        std::snprintf(path, sizeof path, "/proc/%s/fd", process->d_name);
        DIR* fds = opendir(path);
        if (fds == nullptr) continue;
        while (const dirent* fd = readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            char link[64];
            const ssize_t length = readlinkat(dirfd(fds), fd->d_name, link, sizeof link);
            if (length > 7 && std::memcmp(link, "socket:", 7) == 0) ++sockets;
        }
        closedir(fds);
    }
    closedir(proc);
    return sockets;
}

} // namespace

int main(int argc, char** argv) {
    const int sockets = argc > 1 ? std::max(2, std::atoi(argv[1])) : 2000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 31;

    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, sockets + 256));
    setrlimit(RLIMIT_NOFILE, &limit);
    // Pairs of connected unix sockets: one end here, the other in a child.
    std::vector<int> ours, theirs;
    for (int i = 0; i < sockets / 2; ++i) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            std::perror("socketpair");
            return 1;
        }
        ours.push_back(pair[0]);
        theirs.push_back(pair[1]);
    }
    const pid_t child = fork();
    if (child == 0) {
        for (const int fd : ours) close(fd);
        pause();
        _exit(0);
    }
    for (const int fd : theirs) close(fd);

    const auto first_start = Clock::now();
    const auto first = read_socket_holders();
    const double first_call = milliseconds_since(first_start);
    std::vector<double> iterator_times, proc_times;
    std::size_t records = 0, links = 0;
    for (int round = 0; round < rounds && first; ++round) {
        const auto start = Clock::now();
        const auto holders = read_socket_holders();
        iterator_times.push_back(milliseconds_since(start));
        records = holders ? holders->size() : 0;
    }
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        links = read_every_descriptor_link();
        proc_times.push_back(milliseconds_since(start));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    std::printf("socket descriptors made: %d (half in a child)\n", sockets / 2 * 2);
    if (first) {
        std::printf("iterator first call (load + read): %8.2f ms\n", first_call);
        std::printf("iterator per call (median of %d): %8.3f ms  (%zu records)\n", rounds, median(iterator_times), records);
    } else {
        std::printf("iterator unavailable here\n");
    }
    std::printf("/proc fd links per call (median of %d): %8.3f ms  (%zu socket links)\n", rounds, median(proc_times), links);
    return 0;
}

// SPDX-License-Identifier: MIT
#include "loopback_load.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sockscope_bench {
namespace {

using Clock = std::chrono::steady_clock;

// In the child: lets it open `needed` descriptors. A privileged caller may
// raise the hard limit too (up to fs.nr_open). Returns 0 or an errno.
int allow_open_files(rlim_t needed) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return errno;
    if (limit.rlim_cur >= needed) return 0;
    limit.rlim_cur = needed;
    if (limit.rlim_max < needed) limit.rlim_max = needed;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0 ? 0 : EMFILE;
}

// In the child: opens `connections` connections to its own listener on
// `address` and holds them. Returns 0 or the errno of what failed.
int hold_connections(std::uint32_t address_host_order, unsigned connections, unsigned files_needed) {
    if (const int error = allow_open_files(files_needed)) return error;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(address_host_order);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 128) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return errno;
    // Both ends close with a reset when the child ends, so that a load
    // leaves no TIME_WAIT rows behind to weigh on the next measurement.
    const linger abort_on_close{1, 0};
    for (unsigned i = 0; i < connections; ++i) {
        const int client = socket(AF_INET, SOCK_STREAM, 0);
        if (client < 0 || connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return errno;
        const int server = accept(listener, nullptr, nullptr);
        if (server < 0) return errno;
        setsockopt(client, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        setsockopt(server, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    }
    // And the UDP sockets, for the UDP table.
    for (unsigned i = 0; i < connections / udp_share; ++i) {
        sockaddr_in local = address;
        local.sin_port = 0;
        const int udp = socket(AF_INET, SOCK_DGRAM, 0);
        if (udp < 0 || bind(udp, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return errno;
    }
    return 0;
}

// Waits until `deadline` for the child's answer on `fd`: 0 when it is set
// up, else an errno (ETIMEDOUT when it did not answer in time, ECHILD when
// it ended without answering).
int await_answer(int fd, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ETIMEDOUT;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return errno;
        if (ready == 0) return ETIMEDOUT;
        int status = 0;
        const ssize_t got = read(fd, &status, sizeof status);
        if (got < 0 && errno == EINTR) continue;
        return got == sizeof status ? status : ECHILD;
    }
}

// Forks a child that runs `setup` (0 or an errno) and then sleeps until it
// is killed, and waits for its answer. Throws when it fails or is late.
template <typename Setup>
void start_child(ChildProcesses& children, Clock::time_point deadline, const std::string& what, Setup setup) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe failed: ") + std::strerror(errno));
    const pid_t parent = getpid();
    pid_t child;
    try {
        child = children.fork_child();
    } catch (...) {
        close(ready[0]);
        close(ready[1]);
        throw;
    }
    if (child == 0) {
        // It dies with whatever started it, and keeps stdio only: an idle
        // child looks like a sleeping process, not like the benchmark.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        const int keep_ready = 3;
        dup2(fcntl(ready[1], F_DUPFD, 10), keep_ready);
        close_range(keep_ready + 1, ~0u, 0);
        const int status = setup();
        (void)!write(keep_ready, &status, sizeof status);
        close(keep_ready);
        for (;;) pause(); // until the load ends it
    }
    close(ready[1]);
    const int status = await_answer(ready[0], deadline);
    close(ready[0]);
    if (status != 0) throw std::runtime_error(what + " failed to set up: " + std::strerror(status));
}

} // namespace

LoopbackLoad::LoopbackLoad(unsigned connections, unsigned idle_processes)
    : plan_(plan_load(connections, idle_processes, read_system_limits())) {
    // Should a child fail or be late, the exception leaves this constructor
    // and children_, already built, kills and reaps every child started.
    const auto deadline = Clock::now() + std::chrono::seconds(30) + std::chrono::milliseconds(2) * connections +
                          std::chrono::milliseconds(10) * idle_processes;
    for (unsigned i = 0; i < idle_processes; ++i)
        start_child(children_, deadline, "idle process " + std::to_string(i + 1), [] { return 0; });
    for (unsigned k = 0; k < plan_.holders; ++k) {
        const unsigned here = std::min(connections - k * plan_.connections_per_holder, plan_.connections_per_holder);
        start_child(children_, deadline,
                    "holder " + std::to_string(k + 1) + " of " + std::to_string(plan_.holders),
                    [&] { return hold_connections(holder_address(k), here, plan_.files_per_holder); });
        tcp_rows_ += 2 * here + 1;
    }
}

} // namespace sockscope_bench

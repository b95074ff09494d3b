#include "loopback_load.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sockscope_bench {
namespace {

constexpr unsigned connections_per_child = 2000;
constexpr unsigned udp_share = 10;

// In the child: opens `connections` connections to its own listener and
// holds them. Returns false when it could not.
bool hold_connections(unsigned index, unsigned connections) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl((127u << 24) | (10u + index));
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 128) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    // Both ends close with a reset when the child ends, so that a load
    // leaves no TIME_WAIT rows behind to weigh on the next measurement.
    const linger abort_on_close{1, 0};
    for (unsigned i = 0; i < connections; ++i) {
        const int client = socket(AF_INET, SOCK_STREAM, 0);
        if (client < 0 || connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
        const int server = accept(listener, nullptr, nullptr);
        if (server < 0) return false;
        setsockopt(client, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
        setsockopt(server, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    }
    // And a UDP socket for every ten connections, for the UDP table.
    for (unsigned i = 0; i < connections / udp_share; ++i) {
        sockaddr_in local = address;
        local.sin_port = 0;
        const int udp = socket(AF_INET, SOCK_DGRAM, 0);
        if (udp < 0 || bind(udp, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
    }
    return true;
}

} // namespace

void LoopbackLoad::start_child(bool idle, unsigned index, unsigned connections) {
    int ready[2];
    if (pipe(ready) != 0) throw std::runtime_error("pipe failed");
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        // It dies with whatever started it, and keeps stdio only: an idle
        // child looks like a sleeping process, not like the benchmark.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        const int keep_ready = 3;
        dup2(fcntl(ready[1], F_DUPFD, 10), keep_ready);
        close_range(keep_ready + 1, ~0u, 0);
        const char status = idle || hold_connections(index, connections) ? 'y' : 'n';
        (void)!write(keep_ready, &status, 1);
        close(keep_ready);
        for (;;) pause(); // until the load ends it
    }
    close(ready[1]);
    children_.push_back(child);

    pollfd waiting{ready[0], POLLIN, 0};
    char status = 'n';
    const bool answered = poll(&waiting, 1, 60000) == 1 && read(ready[0], &status, 1) == 1;
    close(ready[0]);
    if (!answered || status != 'y') throw std::runtime_error("load child failed to set up");
}

LoopbackLoad::LoopbackLoad(unsigned connections, unsigned idle_processes) {
    try {
        for (unsigned index = 0; connections > 0; ++index) {
            const unsigned here = connections < connections_per_child ? connections : connections_per_child;
            start_child(false, index, here);
            tcp_rows_ += 2 * here + 1;
            connections -= here;
        }
        for (unsigned i = 0; i < idle_processes; ++i) start_child(true, 0, 0);
    } catch (...) {
        this->~LoopbackLoad();
        throw;
    }
}

LoopbackLoad::~LoopbackLoad() {
    // The connections close with a reset (SO_LINGER 0), whatever ends them.
    for (const pid_t child : children_) kill(child, SIGKILL);
    for (const pid_t child : children_) waitpid(child, nullptr, 0);
    children_.clear();
}

} // namespace sockscope_bench

#include "loopback_load.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sockscope_bench {
namespace {

constexpr unsigned connections_per_child = 2000;

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
    return true;
}

} // namespace

void LoopbackLoad::start_child(bool idle, unsigned index, unsigned connections) {
    int lifeline[2], ready[2];
    if (pipe(lifeline) != 0 || pipe(ready) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        close(lifeline[1]);
        close(ready[0]);
        for (const int other : lifelines_) close(other);
        const char status = idle || hold_connections(index, connections) ? 'y' : 'n';
        (void)!write(ready[1], &status, 1);
        close(ready[1]);
        char c;
        while (read(lifeline[0], &c, 1) > 0 || errno == EINTR) {
        }
        _exit(0);
    }
    close(lifeline[0]);
    close(ready[1]);
    children_.push_back(child);
    lifelines_.push_back(lifeline[1]);

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
    for (const int lifeline : lifelines_) close(lifeline);
    lifelines_.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (const pid_t child : children_) {
        int status;
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    children_.clear();
}

} // namespace sockscope_bench

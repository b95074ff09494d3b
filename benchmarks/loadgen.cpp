// SPDX-License-Identifier: MIT
// Holds a benchmark load until its standard input closes or it is asked to
// end (SIGTERM, SIGINT, SIGHUP):
//
//   sockscope_loadgen CONNECTIONS [IDLE_PROCESSES]
//
// prints "ready <tcp rows added> <holder processes>" once the connections
// are established. Every child is killed and reaped before it exits. When
// the load can't be set up it prints the reason and exits with status 1;
// bad arguments exit with status 2.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <unistd.h>

#include "loopback_load.h"

namespace {

bool parse_count(const char* text, unsigned& count) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value > 0xFFFFFFFFul) return false;
    count = static_cast<unsigned>(value);
    return true;
}

void stop_waiting(int) {}

} // namespace

int main(int argc, char** argv) {
    unsigned connections = 0, idle = 0;
    if (argc < 2 || argc > 3 || !parse_count(argv[1], connections) || (argc == 3 && !parse_count(argv[2], idle))) {
        std::fprintf(stderr, "usage: %s CONNECTIONS [IDLE_PROCESSES]\n", argv[0]);
        return 2;
    }
    try {
        sockscope_bench::LoopbackLoad load(connections, idle);
        // A signal to end interrupts the read below (no SA_RESTART), so the
        // load's children are reaped here rather than left to init.
        struct sigaction ending {};
        ending.sa_handler = stop_waiting;
        for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &ending, nullptr);
        std::printf("ready %u %u\n", load.tcp_rows(), load.plan().holders);
        std::fflush(stdout);
        char buffer[64];
        while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "sockscope_loadgen: %s\n", failure.what());
        return 1;
    }
    return 0;
}

// Holds a benchmark load until its standard input closes:
//
//   sockscope_loadgen CONNECTIONS [IDLE_PROCESSES]
//
// prints "ready <tcp rows added>" once the connections are established.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <unistd.h>

#include "loopback_load.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CONNECTIONS [IDLE_PROCESSES]\n", argv[0]);
        return 2;
    }
    try {
        sockscope_bench::LoopbackLoad load(static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)),
                                           argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 0);
        std::printf("ready %u\n", load.tcp_rows());
        std::fflush(stdout);
        char buffer[64];
        while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    return 0;
}

// SPDX-License-Identifier: MIT
// A process for the tests to start under a name of their choosing (they
// copy this program under that name). It opens the sockets it is asked for
// on the given addresses, prints each one's port on a line of its own, then
// "ready", and lives until its standard input is closed.
//
//   test_child [tcp-listen ADDR | udp-bind ADDR | tcp-connect ADDR PORT]...
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in address_of(const char* text, unsigned port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, text, &address.sin_addr) != 1) {
        std::fprintf(stderr, "bad address %s\n", text);
        _exit(2);
    }
    return address;
}

unsigned bound_port(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int open_socket(int type, const char* text, bool listen_too) {
    const int fd = socket(AF_INET, type, 0);
    const sockaddr_in address = address_of(text, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (listen_too && listen(fd, 16) != 0)) {
        std::perror("socket");
        _exit(2);
    }
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string verb = argv[i];
        if (verb == "tcp-listen" && i + 1 < argc) {
            std::printf("%u\n", bound_port(open_socket(SOCK_STREAM, argv[++i], true)));
        } else if (verb == "udp-bind" && i + 1 < argc) {
            std::printf("%u\n", bound_port(open_socket(SOCK_DGRAM, argv[++i], false)));
        } else if (verb == "tcp-connect" && i + 2 < argc) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in peer = address_of(argv[i + 1], static_cast<unsigned>(std::stoul(argv[i + 2])));
            i += 2;
            if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
                std::perror("connect");
                return 2;
            }
            std::printf("%u\n", bound_port(fd));
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char buffer[64];
    while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    return 0;
}

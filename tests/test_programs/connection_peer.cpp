// SPDX-License-Identifier: MIT
// A process for the connection stream's tests to start under a name of
// their choosing (they copy this program under that name). One verb:
//
//   connection_peer serve ADDRESS COUNT
//       listens on ADDRESS (port chosen by the kernel), prints the port and
//       "ready", then accepts COUNT connections, reading each to its end
//       before closing it;
//   connection_peer connect ADDRESS PORT COUNT
//       makes COUNT connections one after another, each sending "hello"
//       and closing, then prints "ready";
//   connection_peer hold ADDRESS PORT
//       makes one connection and prints "ready"; it closes when the
//       program ends;
//   connection_peer reset ADDRESS PORT
//       makes one connection and closes it at once with a reset (SO_LINGER
//       0), then prints "ready";
//   connection_peer try ADDRESS PORT
//       connects, giving up when no answer comes within half a second,
//       prints the errno of the attempt (0 when it connected), then "ready".
//
// ADDRESS is IPv4 or IPv6. After "ready" it lives until its standard input
// is closed; every wait is bounded.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::exit(2);
}

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = AF_INET;
};

Address address_of(const char* text, unsigned port) {
    Address address;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        address.length = sizeof *v4;
    } else if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = address.family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        address.length = sizeof *v6;
    } else {
        std::fprintf(stderr, "bad address %s\n", text);
        std::exit(2);
    }
    return address;
}

unsigned number(const char* text) { return static_cast<unsigned>(std::strtoul(text, nullptr, 10)); }

// Waits up to 5 s for fd to be readable; false on timeout.
bool readable(int fd) {
    pollfd waiting{fd, POLLIN, 0};
    return poll(&waiting, 1, 5000) == 1;
}

void drain(int fd) {
    char buffer[256];
    while (readable(fd) && read(fd, buffer, sizeof buffer) > 0) {
    }
}

int connected(const Address& peer) {
    const int fd = socket(peer.family, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&peer.storage), peer.length) != 0) fail("connect");
    return fd;
}

void serve(const char* text, unsigned count) {
    const Address address = address_of(text, 0);
    const int listener = socket(address.family, SOCK_STREAM, 0);
    if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0 ||
        listen(listener, static_cast<int>(count) + 1) != 0)
        fail("listen");
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
    const auto port = address.family == AF_INET ? reinterpret_cast<sockaddr_in&>(bound).sin_port
                                                : reinterpret_cast<sockaddr_in6&>(bound).sin6_port;
    std::printf("%u\nready\n", ntohs(port));
    std::fflush(stdout);
    for (unsigned i = 0; i < count && readable(listener); ++i) {
        const int connection = accept(listener, nullptr, nullptr);
        if (connection < 0) fail("accept");
        drain(connection);
        close(connection);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "serve" && argc == 4) {
        serve(argv[2], number(argv[3]));
    } else if (verb == "connect" && argc == 5) {
        const Address peer = address_of(argv[2], number(argv[3]));
        for (unsigned i = 0, count = number(argv[4]); i < count; ++i) {
            const int fd = connected(peer);
            if (write(fd, "hello", 5) != 5) fail("write");
            close(fd);
        }
    } else if (verb == "hold" && argc == 4) {
        connected(address_of(argv[2], number(argv[3])));
    } else if (verb == "reset" && argc == 4) {
        const int fd = connected(address_of(argv[2], number(argv[3])));
        const linger abort{1, 0};
        if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) != 0) fail("SO_LINGER");
        close(fd);
    } else if (verb == "try" && argc == 4) {
        const Address peer = address_of(argv[2], number(argv[3]));
        const int fd = socket(peer.family, SOCK_STREAM, 0);
        const int retries = 1, timeout_ms = 500;
        if (fd < 0 || setsockopt(fd, IPPROTO_TCP, TCP_SYNCNT, &retries, sizeof retries) != 0 ||
            setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout_ms, sizeof timeout_ms) != 0)
            fail("socket");
        const int result = connect(fd, reinterpret_cast<const sockaddr*>(&peer.storage), peer.length);
        std::printf("%d\n", result == 0 ? 0 : errno);
        close(fd);
    } else {
        std::fprintf(stderr, "usage: see the comment at the top of connection_peer.cpp\n");
        return 2;
    }
    if (verb != "serve") std::printf("ready\n");
    std::fflush(stdout);
    char buffer[64];
    while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    return 0;
}

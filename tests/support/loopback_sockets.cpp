// SPDX-License-Identifier: MIT
#include "loopback_sockets.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace sockscope_test {
namespace {

sockaddr_in ipv4(const std::string& address, unsigned port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &result.sin_addr) != 1)
        throw std::runtime_error("bad address " + address);
    return result;
}

// "fe80::1%v0" takes the zone's interface as its scope.
sockaddr_in6 ipv6(const std::string& address, unsigned port) {
    sockaddr_in6 result{};
    result.sin6_family = AF_INET6;
    result.sin6_port = htons(static_cast<uint16_t>(port));
    const std::size_t zone = address.find('%');
    if (inet_pton(AF_INET6, address.substr(0, zone).c_str(), &result.sin6_addr) != 1)
        throw std::runtime_error("bad address " + address);
    if (zone != std::string::npos && (result.sin6_scope_id = if_nametoindex(address.c_str() + zone + 1)) == 0)
        throw std::runtime_error("no interface for " + address);
    return result;
}

int checked(int result, const char* what) {
    if (result < 0) throw std::runtime_error(what);
    return result;
}

Endpoint endpoint_of(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        if (v6.sin6_scope_id == 0) return {text, ntohs(v6.sin6_port)};
        char name[IF_NAMESIZE];
        const char* zone = if_indextoname(v6.sin6_scope_id, name);
        return {std::string(text) + "%" + (zone ? zone : std::to_string(v6.sin6_scope_id)), ntohs(v6.sin6_port)};
    }
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    return {text, ntohs(v4.sin_port)};
}

} // namespace

TestSocket::TestSocket(int fd) : fd_(fd), port_(0) {
    try {
        read_ends();
    } catch (...) {
        close(fd_);
        throw;
    }
}

void TestSocket::read_ends() {
    sockaddr_storage own{};
    socklen_t length = sizeof own;
    checked(getsockname(fd_, reinterpret_cast<sockaddr*>(&own), &length), "getsockname");
    local_ = endpoint_of(own);
    port_ = local_.port;
    int type = 0;
    length = sizeof type;
    checked(getsockopt(fd_, SOL_SOCKET, SO_TYPE, &type, &length), "SO_TYPE");
    sockaddr_storage peer{};
    length = sizeof peer;
    if (type != SOCK_STREAM || getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        peer = {}; // what the tables show for no peer
        peer.ss_family = own.ss_family;
    }
    peer_ = endpoint_of(peer);
}

TestSocket::~TestSocket() {
    if (fd_ >= 0) close(fd_);
}

TestSocket TestSocket::tcp_listener(const std::string& address) {
    const int fd = checked(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
    const sockaddr_in local = ipv4(address, 0);
    checked(bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local), "bind");
    checked(listen(fd, 64), "listen");
    return TestSocket(fd);
}

TestSocket TestSocket::tcp_connection(const std::string& address, unsigned port) {
    const int fd = checked(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
    const sockaddr_in peer = ipv4(address, port);
    checked(connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer), "connect");
    return TestSocket(fd);
}

TestSocket TestSocket::accept_from(const TestSocket& listener) {
    return TestSocket(checked(accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC), "accept"));
}

TestSocket TestSocket::udp_socket(const std::string& address) {
    const int fd = checked(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), "socket");
    const sockaddr_in local = ipv4(address, 0);
    checked(bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local), "bind");
    return TestSocket(fd);
}

TestSocket TestSocket::tcp6_listener(bool v4_mapped) {
    const int fd = checked(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    inet_pton(AF_INET6, v4_mapped ? "::ffff:127.0.0.1" : "::1", &local.sin6_addr);
    checked(bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local), "bind6");
    checked(listen(fd, 4), "listen");
    return TestSocket(fd);
}

TestSocket TestSocket::tcp6_listener(const std::string& address, bool v6_only, unsigned port) {
    const int fd = checked(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
    const int only = v6_only ? 1 : 0;
    checked(setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only), "IPV6_V6ONLY");
    const sockaddr_in6 local = ipv6(address, port);
    checked(bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local), "bind6");
    checked(listen(fd, 64), "listen");
    return TestSocket(fd);
}

TestSocket TestSocket::tcp6_connection(const std::string& address, unsigned port) {
    const int fd = checked(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
    const sockaddr_in6 peer = ipv6(address, port);
    checked(connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer), "connect6");
    return TestSocket(fd);
}

TestSocket TestSocket::udp6_socket(const std::string& address, unsigned port) {
    const int fd = checked(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0), "socket");
    const sockaddr_in6 local = ipv6(address, port);
    checked(bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local), "bind6");
    return TestSocket(fd);
}

} // namespace sockscope_test

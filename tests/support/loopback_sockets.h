// Sockets the live tests open on loopback addresses, closed on destruction.
#pragma once

#include <cstdint>
#include <string>

namespace sockscope_test {

class TestSocket {
public:
    TestSocket(TestSocket&& other) noexcept : fd_(other.fd_), port_(other.port_) { other.fd_ = -1; }
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;
    ~TestSocket();

    // A TCP socket listening on `address`, port chosen by the kernel.
    static TestSocket tcp_listener(const std::string& address);
    // A TCP connection to a listener on `address`:`port`.
    static TestSocket tcp_connection(const std::string& address, unsigned port);
    // The server side of a connection waiting on `listener`.
    static TestSocket accept_from(const TestSocket& listener);
    // A UDP socket bound to `address`.
    static TestSocket udp_socket(const std::string& address);
    // An IPv6 TCP listener on ::1, or on [::ffff:127.0.0.1] when mapped.
    static TestSocket tcp6_listener(bool v4_mapped);
    // An IPv6 TCP listener on `address` ("::" for every address); with
    // `v6_only` false it takes IPv4 connections too (dual stack).
    static TestSocket tcp6_listener(const std::string& address, bool v6_only);
    // An IPv6 TCP connection to `address`:`port`.
    static TestSocket tcp6_connection(const std::string& address, unsigned port);
    // An IPv6 UDP socket bound to `address`.
    static TestSocket udp6_socket(const std::string& address);

    int fd() const { return fd_; }
    unsigned port() const { return port_; }

private:
    TestSocket(int fd);
    int fd_;
    unsigned port_;
};

} // namespace sockscope_test

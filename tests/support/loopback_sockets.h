// SPDX-License-Identifier: MIT
// Sockets the live tests open on loopback addresses (or in network
// namespaces of their own), closed on destruction. An IPv6 address may name
// its interface as "fe80::1%v0".
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

namespace sockscope_test {

// One end of a socket as the tables print it: the address in inet_ntop's
// form, with "%" and its interface's name (or index) when it has a scope,
// and the port in host order.
struct Endpoint {
    std::string address;
    unsigned port = 0;
    bool operator==(const Endpoint&) const = default;
};

class TestSocket {
public:
    TestSocket(TestSocket&& other) noexcept
        : fd_(other.fd_), port_(other.port_), local_(std::move(other.local_)), peer_(std::move(other.peer_)) {
        other.fd_ = -1;
    }
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
    // `v6_only` false it takes IPv4 connections too (dual stack). Port 0:
    // chosen by the kernel.
    static TestSocket tcp6_listener(const std::string& address, bool v6_only, unsigned port = 0);
    // An IPv6 TCP connection to `address`:`port`.
    static TestSocket tcp6_connection(const std::string& address, unsigned port);
    // An IPv6 UDP socket bound to `address` and `port` (0: any).
    static TestSocket udp6_socket(const std::string& address, unsigned port = 0);

    int fd() const { return fd_; }
    unsigned port() const { return port_; }
    // This socket's own end.
    const Endpoint& local() const { return local_; }
    // The peer's end as the tables show it: the family's unspecified address
    // and port 0 for a listener and for every UDP socket (the UDP tables
    // carry no remote end).
    const Endpoint& peer() const { return peer_; }
    // Whether a table row with these ends is this socket. Matching both ends
    // keeps out rows that only share a port number with it: another
    // address's socket, or a connection that ended in TIME_WAIT before this
    // socket took the port.
    bool is(const Endpoint& row_local, const Endpoint& row_remote) const {
        return row_local == local() && row_remote == peer();
    }

private:
    TestSocket(int fd);
    void read_ends();
    int fd_;
    unsigned port_;
    Endpoint local_, peer_; // read when the socket is made: both ends are set by then
};

// Whether a TCP snapshot record is one of `sockets`.
template <class Record>
bool record_is_one_of(const Record& row, std::initializer_list<const TestSocket*> sockets) {
    if (row.LocalAddr == nullptr || row.RemoteAddr == nullptr) return false;
    for (const TestSocket* socket : sockets)
        if (socket->is({row.LocalAddr, row.LocalPort}, {row.RemoteAddr, row.RemotePort})) return true;
    return false;
}

} // namespace sockscope_test

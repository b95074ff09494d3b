// SPDX-License-Identifier: MIT
// The IPv6 tables: dual-stack servers (the default of many runtimes) and
// their IPv4 clients, ::1, v6-only listeners, UDP; cross-checked with ss.
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>

#include <sockscope/sockscope.h>

#include "support/loopback_sockets.h"
#include "support/own_name.h"
#include "support/snapshot_checks.h"

using namespace sockscope_test;

namespace {

struct Tcp6Snapshot {
    sockscope library;
    statTCPROW* rows = library.getstat_tcp6();
    ~Tcp6Snapshot() { library.getstat_free(rows); }
    const statTCPROW* find(const std::string& local, unsigned port, std::uint32_t state) const {
        for (std::uint32_t i = 0; rows != nullptr && i < rows[0].size; ++i)
            if (rows[i].LocalPort == port && rows[i].Statenum == state && rows[i].LocalAddr == local) return &rows[i];
        return nullptr;
    }
};

bool held_by_us(const statTCPROW* row) {
    return row != nullptr && row->PID == static_cast<std::uint32_t>(getpid()) && row->ProcessName != nullptr &&
           row->ProcessName == utf16(own_name());
}

TEST(Ipv6Tables, DualStackServerAndItsIpv4Client) {
    const auto listener = TestSocket::tcp6_listener("::", false);
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);

    Tcp6Snapshot v6;
    ASSERT_TRUE(well_formed(v6.rows));
    const statTCPROW* listening = v6.find("::", listener.port(), 2);
    EXPECT_TRUE(held_by_us(listening));
    ASSERT_NE(listening, nullptr);
    EXPECT_STREQ(listening->RemoteAddr, "::");
    EXPECT_STREQ(listening->Statestr, "LISTEN");
    const statTCPROW* server_end = v6.find("::ffff:127.0.0.1", listener.port(), 5);
    EXPECT_TRUE(held_by_us(server_end));
    ASSERT_NE(server_end, nullptr);
    EXPECT_STREQ(server_end->RemoteAddr, "::ffff:127.0.0.1");
    EXPECT_EQ(server_end->RemotePort, client.port());

    // The client is an IPv4 socket: it is in the IPv4 table, the server's
    // ends are not.
    sockscope library;
    statTCPROW* v4 = library.getstat_tcp();
    ASSERT_NE(v4, nullptr);
    int client_rows = 0, server_rows = 0;
    for (std::uint32_t i = 0; i < v4[0].size; ++i) {
        if (v4[i].LocalPort == client.port() && v4[i].RemotePort == listener.port()) {
            ++client_rows;
            EXPECT_EQ(v4[i].PID, static_cast<std::uint32_t>(getpid()));
        }
        if (v4[i].LocalPort == listener.port()) ++server_rows;
    }
    library.getstat_free(v4);
    EXPECT_EQ(client_rows, 1);
    EXPECT_EQ(server_rows, 0);
}

TEST(Ipv6Tables, LoopbackAndV6OnlyListeners) {
    const auto loopback = TestSocket::tcp6_listener("::1", true);
    const auto only = TestSocket::tcp6_listener("::", true);
    Tcp6Snapshot v6;
    EXPECT_TRUE(held_by_us(v6.find("::1", loopback.port(), 2)));
    EXPECT_TRUE(held_by_us(v6.find("::", only.port(), 2)));

    // A v6-only listener takes no IPv4 connection, and neither is an IPv4 row.
    sockscope library;
    statTCPROW* v4 = library.getstat_tcp();
    ASSERT_NE(v4, nullptr);
    for (std::uint32_t i = 0; i < v4[0].size; ++i) {
        EXPECT_NE(v4[i].LocalPort, only.port());
        EXPECT_NE(v4[i].LocalPort, loopback.port());
    }
    library.getstat_free(v4);
}

TEST(Ipv6Tables, UdpSocketShows) {
    const auto udp = TestSocket::udp6_socket("::1");
    sockscope library;
    statUDPROW* rows = library.getstat_udp6();
    ASSERT_TRUE(well_formed(rows));
    int found = 0;
    for (std::uint32_t i = 0; i < rows[0].size; ++i) {
        if (rows[i].LocalPort != udp.port()) continue;
        ++found;
        EXPECT_STREQ(rows[i].LocalAddr, "::1");
        EXPECT_EQ(rows[i].PID, static_cast<std::uint32_t>(getpid()));
        EXPECT_TRUE(rows[i].ProcessName != nullptr && rows[i].ProcessName == utf16(own_name()));
    }
    library.getstat_free(rows);
    EXPECT_EQ(found, 1);
}

std::string run(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    if (!pipe) return output;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) output.append(buffer, got);
    return output;
}

// ss writes IPv6 addresses in brackets, [::1]:8080, and the unspecified
// address of a dual-stack socket as "*".
std::string ss_endpoint(const char* address, unsigned port) {
    const std::string host = std::string(address) == "::" ? std::string("*") : std::string("[") + address + "]";
    return host + ":" + (port == 0 ? std::string("*") : std::to_string(port));
}

TEST(Ipv6Tables, AgreeWithSs) {
    if (run("command -v ss").empty()) GTEST_SKIP() << "ss is not installed";
    const auto listener = TestSocket::tcp6_listener("::", false);
    const auto client6 = TestSocket::tcp6_connection("::1", listener.port());
    const auto server6 = TestSocket::accept_from(listener);
    const auto client4 = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server4 = TestSocket::accept_from(listener);
    const std::string port = std::to_string(listener.port());
    const std::string ss = run("ss -tanpH6 'sport = :" + port + " or dport = :" + port + "'");
    const std::string pid = "pid=" + std::to_string(getpid()) + ",";

    Tcp6Snapshot v6;
    int ours = 0;
    for (std::uint32_t i = 0; i < v6.rows[0].size; ++i) {
        const statTCPROW& row = v6.rows[i];
        if (!record_is_one_of(row, {&listener, &client6, &server6, &server4})) continue;
        ++ours;
        const std::string local = ss_endpoint(row.LocalAddr, row.LocalPort);
        const std::string remote = ss_endpoint(row.RemoteAddr, row.RemotePort);
        bool matched = false;
        for (std::size_t start = 0; start < ss.size();) {
            const std::size_t end = ss.find('\n', start);
            const std::string line = ss.substr(start, end - start);
            start = end == std::string::npos ? ss.size() : end + 1;
            matched |= line.find(" " + local + " ") != std::string::npos &&
                       line.find(" " + remote + " ") != std::string::npos && line.find(pid) != std::string::npos;
        }
        EXPECT_TRUE(matched) << local << " " << remote << " not in:\n" << ss;
    }
    EXPECT_EQ(ours, 4); // the listener, both ends over ::1, the server end of the IPv4 client

    const auto udp = TestSocket::udp6_socket("::1");
    const std::string ss_udp = run("ss -uanpH6 'sport = :" + std::to_string(udp.port()) + "'");
    sockscope library;
    statUDPROW* rows = library.getstat_udp6();
    ASSERT_NE(rows, nullptr);
    int udp_ours = 0;
    for (std::uint32_t i = 0; i < rows[0].size; ++i) {
        if (rows[i].LocalPort != udp.port()) continue;
        ++udp_ours;
        const std::string local = ss_endpoint(rows[i].LocalAddr, rows[i].LocalPort);
        EXPECT_NE(ss_udp.find(" " + local + " "), std::string::npos) << ss_udp;
        EXPECT_NE(ss_udp.find(pid), std::string::npos) << ss_udp;
    }
    library.getstat_free(rows);
    EXPECT_EQ(udp_ours, 1);
}

} // namespace

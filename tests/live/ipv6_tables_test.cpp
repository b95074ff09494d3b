// SPDX-License-Identifier: MIT
// The IPv6 tables: dual-stack servers (the default of many runtimes) and
// their IPv4 clients, ::1, v6-only listeners, UDP, link-local addresses on
// two links; cross-checked with ss.
#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <net/if.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <sockscope/sockscope.h>

#include "support/isolated_child.h"
#include "support/link_local_namespace.h"
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
        if (record_is_one_of(v4[i], {&client})) {
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
    // Neither holds its port in IPv4 either: another process's IPv4 socket
    // may have it, so only this process's rows count.
    sockscope library;
    statTCPROW* v4 = library.getstat_tcp();
    ASSERT_NE(v4, nullptr);
    for (std::uint32_t i = 0; i < v4[0].size; ++i) {
        if (v4[i].PID != static_cast<std::uint32_t>(getpid())) continue;
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
    // Ours by its local end: another address may have a socket on the same
    // port.
    int found = 0;
    for (std::uint32_t i = 0; i < rows[0].size; ++i) {
        if (rows[i].LocalAddr == nullptr || udp.local() != Endpoint{rows[i].LocalAddr, rows[i].LocalPort}) continue;
        ++found;
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
        if (rows[i].LocalAddr == nullptr || udp.local() != Endpoint{rows[i].LocalAddr, rows[i].LocalPort}) continue;
        ++udp_ours;
        const std::string local = ss_endpoint(rows[i].LocalAddr, rows[i].LocalPort);
        EXPECT_NE(ss_udp.find(" " + local + " "), std::string::npos) << ss_udp;
        EXPECT_NE(ss_udp.find(pid), std::string::npos) << ss_udp;
    }
    library.getstat_free(rows);
    EXPECT_EQ(udp_ours, 1);
}

// The rows of the IPv6 tables, sorted: "local port remote port pid" for
// TCP, "local port pid" for UDP. `peer_zone` false drops the remote
// address's zone, which ss doesn't write.
std::vector<std::string> table6(bool tcp, bool peer_zone = true) {
    sockscope library;
    std::vector<std::string> lines;
    const auto add = [&lines](const auto* rows, const auto& line_of) {
        for (std::uint32_t i = 0; rows != nullptr && i < rows[0].size; ++i) lines.push_back(line_of(rows[i]));
        if (!well_formed(rows)) lines.push_back("(malformed)");
    };
    if (tcp) {
        statTCPROW* rows = library.getstat_tcp6();
        add(rows, [peer_zone](const statTCPROW& row) {
            std::string remote = row.RemoteAddr;
            if (!peer_zone) remote = remote.substr(0, remote.find('%'));
            return std::string(row.LocalAddr) + " " + std::to_string(row.LocalPort) + " " + remote + " " +
                   std::to_string(row.RemotePort) + " " + std::to_string(row.PID);
        });
        library.getstat_free(rows);
    } else {
        statUDPROW* rows = library.getstat_udp6();
        add(rows, [](const statUDPROW& row) {
            return std::string(row.LocalAddr) + " " + std::to_string(row.LocalPort) + " " + std::to_string(row.PID);
        });
        library.getstat_free(rows);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The same lines from ss: "[fe80::1]%v0:45000" is "fe80::1%v0 45000",
// "[::]:*" is ":: 0".
std::vector<std::string> ss6(bool tcp) {
    const auto endpoint = [](std::string text) {
        const std::size_t colon = text.rfind(':');
        std::string host = text.substr(0, colon), port = text.substr(colon + 1);
        std::erase(host, '[');
        std::erase(host, ']');
        return host + " " + (port == "*" ? "0" : port);
    };
    std::vector<std::string> lines;
    std::istringstream output(run(tcp ? "ss -tanpH6" : "ss -uanpH6"));
    for (std::string line; std::getline(output, line);) {
        std::istringstream fields(line);
        std::string state, received, sent, local, peer;
        fields >> state >> received >> sent >> local >> peer;
        const std::size_t pid = line.find("pid=");
        const std::string owner = pid == std::string::npos ? "0" : line.substr(pid + 4, line.find(',', pid) - pid - 4);
        lines.push_back(endpoint(local) + " " + (tcp ? endpoint(peer) + " " : "") + owner);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string differs(const char* what, const std::vector<std::string>& got, const std::vector<std::string>& wanted) {
    if (got == wanted) return "";
    std::string text = std::string(what) + ": got\n";
    for (const auto& line : got) text += "  " + line + "\n";
    text += "wanted\n";
    for (const auto& line : wanted) text += "  " + line + "\n";
    return text;
}

// The same address, fe80::1, on two links (v0 and v1, in a network
// namespace of the test's own), a TCP listener and a UDP socket on port
// 45000 of each, and a connection over v0: every row names its link, as
// ss shows them. Once the links are deleted, the sockets that remain name
// their interfaces by index.
TEST(Ipv6Tables, LinkLocalAddressesCarryTheirInterface) {
    const std::string fault = run_isolated([]() -> std::string {
        if (std::string made = enter_namespace_with_two_links(); !made.empty()) return made;
        const std::string index0 = std::to_string(if_nametoindex("v0"));
        const std::string index1 = std::to_string(if_nametoindex("v1"));
        const auto listener0 = TestSocket::tcp6_listener("fe80::1%v0", true, 45000);
        const auto listener1 = TestSocket::tcp6_listener("fe80::1%v1", true, 45000);
        const auto udp0 = TestSocket::udp6_socket("fe80::1%v0", 45000);
        const auto udp1 = TestSocket::udp6_socket("fe80::1%v1", 45000);
        const auto client = TestSocket::tcp6_connection("fe80::1%v0", 45000);
        const auto server = TestSocket::accept_from(listener0);
        const std::string pid = std::to_string(getpid()), port = std::to_string(client.port());
        const auto tcp_rows = [&](const std::string& zone0, const std::string& zone1) {
            std::vector<std::string> lines = {
                "fe80::1%" + zone0 + " 45000 :: 0 " + pid,
                "fe80::1%" + zone1 + " 45000 :: 0 " + pid,
                "fe80::1%" + zone0 + " 45000 fe80::1%" + zone0 + " " + port + " " + pid,
                "fe80::1%" + zone0 + " " + port + " fe80::1%" + zone0 + " 45000 " + pid,
            };
            std::sort(lines.begin(), lines.end());
            return lines;
        };
        const auto udp_rows = [&](const std::string& zone0, const std::string& zone1) {
            std::vector<std::string> lines = {"fe80::1%" + zone0 + " 45000 " + pid, "fe80::1%" + zone1 + " 45000 " + pid};
            std::sort(lines.begin(), lines.end());
            return lines;
        };
        std::string faults = differs("tcp6", table6(true), tcp_rows("v0", "v1")) +
                             differs("udp6", table6(false), udp_rows("v0", "v1")) +
                             differs("tcp6 against ss", table6(true, false), ss6(true)) +
                             differs("udp6 against ss", table6(false), ss6(false));
        if (std::system("ip link delete v0") != 0) return faults + "could not delete v0";
        return faults + differs("tcp6, links deleted", table6(true), tcp_rows(index0, index1)) +
               differs("udp6, links deleted", table6(false), udp_rows(index0, index1));
    });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
}

} // namespace

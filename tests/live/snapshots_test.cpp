// SPDX-License-Identifier: MIT
// The public snapshots and the loopback port lookup, on sockets and child
// processes the tests open, through the shared library.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>

#include <sockscope/sockscope.h>

#include "support/child_process.h"
#include "support/loopback_sockets.h"
#include "support/own_name.h"

using sockscope_test::ChildProcess;
using sockscope_test::Endpoint;
using sockscope_test::own_name;
using sockscope_test::utf16;
using sockscope_test::TestSocket;
using sockscope_test::record_is_one_of;
using sockscope_test::test_child_named;
using sockscope_test::unique_name;

namespace {


struct TcpSnapshot {
    sockscope library;
    statTCPROW* rows = library.getstat_tcp();
    ~TcpSnapshot() { library.getstat_free(rows); }
    std::uint32_t size() const { return rows[0].size; }
    // The record of `socket`: both its ends, not only a port number that
    // another address's socket may share.
    const statTCPROW* of(const TestSocket& socket) const {
        for (std::uint32_t i = 0; i < size(); ++i)
            if (record_is_one_of(rows[i], {&socket})) return &rows[i];
        return nullptr;
    }
};

struct UdpSnapshot {
    sockscope library;
    statUDPROW* rows = library.getstat_udp();
    ~UdpSnapshot() { library.getstat_free(rows); }
};

std::uint32_t host_address(const char* dotted) {
    unsigned a, b, c, d;
    std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
    return (a << 24) | (b << 16) | (c << 8) | d;
}

TEST(Snapshots, ListenerShowsWithPortStateAndOwner) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    TcpSnapshot snapshot;
    ASSERT_NE(snapshot.rows, nullptr);
    const statTCPROW* row = snapshot.of(listener);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->LocalAddr, "127.0.0.1");
    EXPECT_STREQ(row->RemoteAddr, "0.0.0.0");
    EXPECT_EQ(row->RemotePort, 0u);
    EXPECT_EQ(row->Statenum, 2u);
    EXPECT_EQ(row->PID, static_cast<std::uint32_t>(getpid()));
    ASSERT_NE(row->ProcessName, nullptr);
    EXPECT_EQ(std::u16string(row->ProcessName), utf16(own_name()));
}

TEST(Snapshots, EstablishedPairShowsBothEnds) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    TcpSnapshot snapshot;
    const statTCPROW* client_row = snapshot.of(client);
    const statTCPROW* server_row = snapshot.of(server);
    ASSERT_NE(client_row, nullptr);
    ASSERT_NE(server_row, nullptr);
    EXPECT_EQ(client_row->RemotePort, listener.port());
    EXPECT_STREQ(client_row->Statestr, "ESTABLISH");
    EXPECT_STREQ(server_row->Statestr, "ESTABLISH");
    EXPECT_EQ(server_row->Statenum, 5u);
    EXPECT_EQ(client_row->PID, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(server_row->PID, static_cast<std::uint32_t>(getpid()));
}

TEST(Snapshots, EveryRecordIsWellFormedAndSorted) {
    const auto a = TestSocket::tcp_listener("127.0.0.1");
    const auto b = TestSocket::tcp_listener("127.0.0.2");
    TcpSnapshot snapshot;
    ASSERT_GE(snapshot.size(), 2u);
    for (std::uint32_t i = 0; i < snapshot.size(); ++i) {
        const statTCPROW& row = snapshot.rows[i];
        EXPECT_EQ(row.size, snapshot.size());
        EXPECT_GE(row.Statenum, 1u);
        EXPECT_LE(row.Statenum, 12u);
        EXPECT_LE(row.LocalPort, 65535u);
        if (i == 0) continue;
        const statTCPROW& before = snapshot.rows[i - 1];
        const auto key = [](const statTCPROW& r) {
            return std::make_tuple(host_address(r.LocalAddr), r.LocalPort, host_address(r.RemoteAddr), r.RemotePort);
        };
        EXPECT_LE(key(before), key(row)) << i;
    }
}

TEST(Snapshots, UdpSocketShows) {
    const auto udp = TestSocket::udp_socket("127.0.0.1");
    UdpSnapshot snapshot;
    ASSERT_NE(snapshot.rows, nullptr);
    // Ours by its local end: another address may have a socket on the same
    // port.
    const statUDPROW* found = nullptr;
    for (std::uint32_t i = 0; i < snapshot.rows[0].size; ++i)
        if (snapshot.rows[i].LocalAddr != nullptr &&
            udp.local() == Endpoint{snapshot.rows[i].LocalAddr, snapshot.rows[i].LocalPort})
            found = &snapshot.rows[i];
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->PID, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(std::u16string(found->ProcessName), utf16(own_name()));
}

// ss is a second opinion on the same kernel tables.
std::string run(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    if (!pipe) return output;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) output.append(buffer, got);
    return output;
}

TEST(Snapshots, AgreeWithSs) {
    if (run("command -v ss").empty()) GTEST_SKIP() << "ss is not installed";
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    const std::string pid = "pid=" + std::to_string(getpid()) + ",";
    const std::string ss = run("ss -tanpH4 'sport = :" + std::to_string(listener.port()) +
                               " or dport = :" + std::to_string(listener.port()) + "'");
    TcpSnapshot snapshot;
    int ours = 0;
    for (std::uint32_t i = 0; i < snapshot.size(); ++i) {
        const statTCPROW& row = snapshot.rows[i];
        if (!record_is_one_of(row, {&listener, &client, &server})) continue;
        ++ours;
        const std::string local = std::string(row.LocalAddr) + ":" + std::to_string(row.LocalPort);
        const std::string remote = row.RemotePort == 0 ? std::string(row.RemoteAddr) + ":*"
                                                       : std::string(row.RemoteAddr) + ":" + std::to_string(row.RemotePort);
        bool matched = false;
        std::size_t start = 0;
        while (start < ss.size()) {
            const std::size_t end = ss.find('\n', start);
            const std::string line = ss.substr(start, end - start);
            start = end == std::string::npos ? ss.size() : end + 1;
            if (line.find(" " + local + " ") != std::string::npos && line.find(" " + remote + " ") != std::string::npos &&
                line.find(pid) != std::string::npos)
                matched = true;
        }
        EXPECT_TRUE(matched) << local << " " << remote << " not in:\n" << ss;
    }
    EXPECT_EQ(ours, 3);

    const auto udp = TestSocket::udp_socket("127.0.0.1");
    const std::string ss_udp = run("ss -uanpH4 'sport = :" + std::to_string(udp.port()) + "'");
    UdpSnapshot udp_snapshot;
    int udp_ours = 0;
    for (std::uint32_t i = 0; i < udp_snapshot.rows[0].size; ++i) {
        const statUDPROW& row = udp_snapshot.rows[i];
        if (row.LocalAddr == nullptr || udp.local() != Endpoint{row.LocalAddr, row.LocalPort}) continue;
        ++udp_ours;
        const std::string local = std::string(row.LocalAddr) + ":" + std::to_string(row.LocalPort);
        EXPECT_NE(ss_udp.find(" " + local + " "), std::string::npos) << ss_udp;
        EXPECT_NE(ss_udp.find(pid), std::string::npos) << ss_udp;
    }
    EXPECT_EQ(udp_ours, 1);
}

TEST(LoopbackPort, FindsTheChildsPortOnLoopback) {
    const std::string name = unique_name("ssport");
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1"});
    EXPECT_EQ(sockscope().getnetPort_gx2(utf16(name).c_str()), child.ports().at(0));
}

TEST(LoopbackPort, NineCharacterCompareCounts127_0_0_1x) {
    const std::string name = unique_name("ssport");
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.12"});
    EXPECT_EQ(sockscope().getnetPort_gx2(utf16(name).c_str()), child.ports().at(0));
}

TEST(LoopbackPort, LastQualifyingRowInTableOrderWins) {
    const std::string name = unique_name("ssport");
    // 127.0.0.12 sorts after 127.0.0.1 whatever the ports are.
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.12", "tcp-listen", "127.0.0.1"});
    EXPECT_EQ(sockscope().getnetPort_gx2(utf16(name).c_str()), child.ports().at(0));
}

TEST(LoopbackPort, OtherAddressesAndUnknownNamesGiveZero) {
    const std::string name = unique_name("ssport");
    ChildProcess child(test_child_named(name), {"tcp-listen", "0.0.0.0", "tcp-listen", "127.0.0.2"});
    sockscope library;
    EXPECT_EQ(library.getnetPort_gx2(utf16(name).c_str()), 0u);
    EXPECT_EQ(library.getnetPort_gx2(utf16(unique_name("nobody")).c_str()), 0u);
    EXPECT_EQ(library.getnetPort_gx2(u""), 0u);
    EXPECT_EQ(library.getnetPort_gx2(nullptr), 0u);
}

TEST(LoopbackPort, ConnectedSocketsQualifyToo) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const std::string name = unique_name("ssport");
    // A connection to 127.0.0.1 gets 127.0.0.1 as its own address too.
    ChildProcess child(test_child_named(name), {"tcp-connect", "127.0.0.1", std::to_string(listener.port())});
    EXPECT_EQ(sockscope().getnetPort_gx2(utf16(name).c_str()), child.ports().at(0));
}

} // namespace

// SPDX-License-Identifier: MIT
// Records made from owned tables, and the order rows come in, on rows the
// kernel can't be made to produce on demand.
#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

#include <sockscope/sockscope.h>

#include "core/row_order.h"
#include "core/snapshot_records.h"
#include "support/table_rows.h"

using namespace sockscope_detail;
using sockscope_test::ipv4;
using sockscope_test::port_field;
using sockscope_test::tcp_row;

namespace {

// A table whose owners 612 and 700 have names and 999 has ended.
OwnedTable table_of(SocketRows rows) {
    OwnedTable table;
    table.rows = std::move(rows);
    table.names.add(612, {"sshd", "sshd", {}, {}, {}, 0});
    table.names.add(700, {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC", {}, {}, {}, 0});
    return table;
}

TEST(SnapshotRecords, EmptyTableIsOneZeroRecord) {
    sockscope library;
    statTCPROW* tcp = make_tcp_records(table_of({}));
    ASSERT_NE(tcp, nullptr);
    EXPECT_EQ(tcp[0].size, 0u);
    EXPECT_EQ(tcp[0].LocalAddr, nullptr);
    EXPECT_EQ(tcp[0].RemoteAddr, nullptr);
    EXPECT_EQ(tcp[0].ProcessName, nullptr);
    EXPECT_EQ(tcp[0].Statestr, nullptr);
    library.getstat_free(tcp);

    statUDPROW* udp = make_udp_records(table_of({}));
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(udp[0].size, 0u);
    EXPECT_EQ(udp[0].LocalAddr, nullptr);
    library.getstat_free(udp);
}

TEST(SnapshotRecords, TcpRecordsCarryTextsHostOrderAndNames) {
    const SocketRows rows = {
        // kernel states: LISTEN, ESTABLISHED, TIME_WAIT, CLOSE_WAIT, CLOSE
        tcp_row(ipv4(0, 0, 0, 0), 80, ipv4(0, 0, 0, 0), 0, 10, 612),
        tcp_row(ipv4(127, 0, 0, 1), 443, ipv4(127, 0, 0, 1), 50000, 1, 612),
        tcp_row(ipv4(10, 1, 2, 3), 22, ipv4(192, 168, 0, 9), 65535, 6, 0),
        tcp_row(ipv4(127, 0, 0, 1), 5, ipv4(0, 0, 0, 0), 0, 8, 999),
        tcp_row(ipv4(127, 0, 0, 1), 6, ipv4(0, 0, 0, 0), 0, 7, 700),
    };
    statTCPROW* tcp = make_tcp_records(table_of(rows));
    ASSERT_NE(tcp, nullptr);
    for (std::uint32_t i = 0; i < rows.size(); ++i) EXPECT_EQ(tcp[i].size, rows.size());

    EXPECT_STREQ(tcp[0].LocalAddr, "0.0.0.0");
    EXPECT_STREQ(tcp[0].RemoteAddr, "0.0.0.0");
    EXPECT_EQ(tcp[0].LocalPort, 80u);
    EXPECT_EQ(tcp[0].RemotePort, 0u);
    EXPECT_STREQ(tcp[0].Statestr, "LISTEN");
    EXPECT_EQ(tcp[0].Statenum, 2u);
    EXPECT_EQ(tcp[0].PID, 612u);
    EXPECT_EQ(std::u16string(tcp[0].ProcessName), u"sshd");

    EXPECT_EQ(tcp[1].LocalPort, 443u);
    EXPECT_EQ(tcp[1].RemotePort, 50000u);
    EXPECT_STREQ(tcp[1].Statestr, "ESTABLISH");
    EXPECT_NE(tcp[1].ProcessName, tcp[0].ProcessName); // each record owns its copy

    EXPECT_STREQ(tcp[2].LocalAddr, "10.1.2.3");
    EXPECT_STREQ(tcp[2].RemoteAddr, "192.168.0.9");
    EXPECT_EQ(tcp[2].RemotePort, 65535u);
    EXPECT_STREQ(tcp[2].Statestr, "TIMEWAIT");
    EXPECT_EQ(tcp[2].PID, 0u);
    EXPECT_EQ(tcp[2].ProcessName, nullptr);

    // The owner ended before its name was read: the id stays, the name is null.
    EXPECT_EQ(tcp[3].PID, 999u);
    EXPECT_EQ(tcp[3].ProcessName, nullptr);
    EXPECT_STREQ(tcp[3].Statestr, "CLOSE_WAIT");

    EXPECT_EQ(std::u16string(tcp[4].ProcessName), u"\u65E5\u672C");
    sockscope().getstat_free(tcp);
}

TEST(SnapshotRecords, UdpAndIpv6Records) {
    SocketRow row;
    row.local_address = ipv4(127, 0, 0, 1);
    row.local_port = port_field(53);
    row.owner = 612;
    statUDPROW* udp = make_udp_records(table_of({row, row}));
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(udp[1].size, 2u);
    EXPECT_STREQ(udp[1].LocalAddr, "127.0.0.1");
    EXPECT_EQ(udp[1].LocalPort, 53u);
    EXPECT_EQ(udp[1].PID, 612u);
    EXPECT_EQ(std::u16string(udp[1].ProcessName), u"sshd");
    sockscope().getstat_free(udp);

    row.family = Family::ipv6;
    row.local_address = Address{};
    row.local_address[15] = 1;
    statTCPROW* tcp = make_tcp_records(table_of({row}));
    ASSERT_NE(tcp, nullptr);
    EXPECT_STREQ(tcp[0].LocalAddr, "::1");
    EXPECT_STREQ(tcp[0].RemoteAddr, "::");
    sockscope().getstat_free(tcp);
}

TEST(RowOrder, ByAddressesAndPortsAsHostNumbersThenOwner) {
    const Address any = ipv4(0, 0, 0, 0);
    SocketRows rows = {
        tcp_row(ipv4(192, 168, 0, 1), 1, any, 0, 2, 1),
        tcp_row(ipv4(127, 0, 0, 1), 256, any, 0, 2, 1),
        tcp_row(ipv4(127, 0, 0, 1), 1, ipv4(127, 0, 0, 1), 2, 5, 1),
        tcp_row(ipv4(127, 0, 0, 1), 1, ipv4(10, 0, 0, 1), 9, 5, 1),
        tcp_row(ipv4(127, 0, 0, 1), 1, ipv4(10, 0, 0, 1), 8, 5, 1),
        tcp_row(ipv4(10, 0, 0, 1), 65535, any, 0, 2, 1),
        tcp_row(ipv4(127, 0, 0, 1), 9, any, 0, 2, 30),
        tcp_row(ipv4(127, 0, 0, 1), 9, any, 0, 2, 20),
    };
    sort_rows(rows);
    const std::vector<std::tuple<Address, unsigned, Address, unsigned, std::uint32_t>> expected = {
        {ipv4(10, 0, 0, 1), 65535, any, 0, 1},
        {ipv4(127, 0, 0, 1), 1, ipv4(10, 0, 0, 1), 8, 1},
        {ipv4(127, 0, 0, 1), 1, ipv4(10, 0, 0, 1), 9, 1},
        {ipv4(127, 0, 0, 1), 1, ipv4(127, 0, 0, 1), 2, 1},
        {ipv4(127, 0, 0, 1), 9, any, 0, 20},
        {ipv4(127, 0, 0, 1), 9, any, 0, 30},
        {ipv4(127, 0, 0, 1), 256, any, 0, 1},
        {ipv4(192, 168, 0, 1), 1, any, 0, 1},
    };
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& [local, local_port, remote, remote_port, owner] = expected[i];
        EXPECT_EQ(rows[i].local_address, local) << i;
        EXPECT_EQ(rows[i].local_port, port_field(local_port)) << i;
        EXPECT_EQ(rows[i].remote_address, remote) << i;
        EXPECT_EQ(rows[i].remote_port, port_field(remote_port)) << i;
        EXPECT_EQ(rows[i].owner, owner) << i;
    }
}

// A socket that came twice in the kernel's answer is listed once, whatever
// moved on between the two; sockets that only share ends are all kept.
TEST(RowOrder, ASocketThatCameTwiceIsListedOnce) {
    const Address any = ipv4(0, 0, 0, 0), host = ipv4(127, 0, 0, 1);
    const SocketRow established = tcp_row(host, 80, host, 5000, 1, 7);
    SocketRow closing = established; // read again after it moved on
    closing.state = 4;
    const SocketRow waiting = tcp_row(host, 81, host, 5001, 6, 0); // TIME_WAIT: no inode
    const SocketRow listener = tcp_row(host, 82, any, 0, 10, 8);
    SocketRow sharing = listener; // another listener on the port
    sharing.inode = 2000;
    SocketRows rows = {established, waiting, listener, closing, waiting, sharing};
    sort_rows(rows);
    rows.resize(drop_repeated_rows(rows));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].inode, established.inode);
    EXPECT_EQ(rows[1].local_port, waiting.local_port);
    EXPECT_EQ(rows[2].local_port, listener.local_port);
    EXPECT_EQ(rows[3].local_port, listener.local_port);
}

// IPv4 tables are sorted by packed keys, others row by row: both give the
// order of the rows' fields, and the same rows, each once. The large table
// (some 5 MiB of rows) sorts in memory mapped apart from the C heap.
TEST(RowOrder, EveryTableComesInFieldOrder) {
    const auto fields = [](const SocketRow& row) {
        return std::make_tuple(row.local_address, port_field(row.local_port), row.remote_address,
                               port_field(row.remote_port), row.owner, row.inode);
    };
    const auto whole = [&fields](const SocketRow& a, const SocketRow& b) {
        return std::tuple_cat(fields(a), std::make_tuple(a.state)) < std::tuple_cat(fields(b), std::make_tuple(b.state));
    };
    std::uint32_t seed = 12345;
    const auto next = [&seed](std::uint32_t range) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % range;
    };
    for (const auto& [ipv6, size] : {std::pair{false, 2000}, std::pair{true, 2000}, std::pair{false, 100000}}) {
        SocketRows rows(static_cast<std::size_t>(size));
        std::uint32_t serial = 0;
        for (SocketRow& row : rows) {
            // Few distinct values, so that every field decides some pairs;
            // the state tells rows with equal fields apart.
            row.local_address = ipv4(127, 0, 0, 1 + next(3));
            row.remote_address = ipv4(next(2) * 10, 0, 0, next(3));
            if (ipv6) row.remote_address[15] = static_cast<std::uint8_t>(next(2));
            row.local_port = port_field(next(4) * 256 + next(2));
            row.remote_port = port_field(next(3) * 256 + next(2));
            row.owner = next(3);
            row.inode = next(5);
            row.state = serial++;
        }
        SocketRows expected = rows;
        sort_rows(rows);
        for (std::size_t i = 1; i < rows.size(); ++i)
            ASSERT_FALSE(fields(rows[i]) < fields(rows[i - 1])) << ipv6 << " " << size << " " << i;
        SocketRows seen = rows;
        std::sort(expected.begin(), expected.end(), whole);
        std::sort(seen.begin(), seen.end(), whole);
        ASSERT_TRUE(std::equal(seen.begin(), seen.end(), expected.begin(), expected.end(),
                               [&whole](const SocketRow& a, const SocketRow& b) { return !whole(a, b) && !whole(b, a); }))
            << "rows lost or repeated: " << ipv6 << " " << size;
    }
}

} // namespace

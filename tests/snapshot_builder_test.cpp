// Building records from rows, and the order rows come in, on rows the
// kernel can't be made to produce on demand.
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include <sockscope/sockscope.h>

#include "snapshot_builder.h"
#include "socket_table.h"

using namespace sockscope_detail;

namespace {

constexpr std::uint32_t address(unsigned a, unsigned b, unsigned c, unsigned d) {
    return a | (b << 8) | (c << 16) | (d << 24);
}
constexpr std::uint32_t port(unsigned host) { return ((host & 0xFF) << 8) | (host >> 8); }

SocketRow tcp_row(std::uint32_t local, unsigned local_port, std::uint32_t remote, unsigned remote_port,
                  std::uint32_t state, std::uint32_t owner) {
    SocketRow row;
    row.local_address = local;
    row.local_port = port(local_port);
    row.remote_address = remote;
    row.remote_port = port(remote_port);
    row.state = state;
    row.owner = owner;
    row.inode = owner == 0 ? 0 : 1000 + owner;
    return row;
}

// A lookup that knows two processes and counts how often it is asked.
struct FakeNames {
    std::map<std::uint32_t, int> asked;
    NameLookup lookup() {
        return [this](std::uint32_t id) -> std::optional<std::u16string> {
            ++asked[id];
            if (id == 612) return u"sshd";
            if (id == 700) return u"\u65E5\u672C";
            return std::nullopt; // ended
        };
    }
};

TEST(SnapshotBuilder, EmptyTableIsOneZeroRecord) {
    FakeNames names;
    sockscope library;
    statTCPROW* tcp = build_tcp_snapshot({}, names.lookup());
    ASSERT_NE(tcp, nullptr);
    EXPECT_EQ(tcp[0].size, 0u);
    EXPECT_EQ(tcp[0].LocalAddr, nullptr);
    EXPECT_EQ(tcp[0].RemoteAddr, nullptr);
    EXPECT_EQ(tcp[0].ProcessName, nullptr);
    EXPECT_EQ(tcp[0].Statestr, nullptr);
    library.getstat_free(tcp);

    statUDPROW* udp = build_udp_snapshot({}, names.lookup());
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(udp[0].size, 0u);
    EXPECT_EQ(udp[0].LocalAddr, nullptr);
    library.getstat_free(udp);
    EXPECT_TRUE(names.asked.empty());
}

TEST(SnapshotBuilder, TcpRecordsCarryTextsHostOrderAndNames) {
    FakeNames names;
    const std::vector<SocketRow> rows = {
        tcp_row(0, 80, 0, 0, 2, 612),
        tcp_row(address(127, 0, 0, 1), 443, address(127, 0, 0, 1), 50000, 5, 612),
        tcp_row(address(10, 1, 2, 3), 22, address(192, 168, 0, 9), 65535, 11, 0),
        tcp_row(address(127, 0, 0, 1), 5, 0, 0, 8, 999),
        tcp_row(address(127, 0, 0, 1), 6, 0, 0, 1, 700),
    };
    statTCPROW* tcp = build_tcp_snapshot(rows, names.lookup());
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

    // Once per distinct owner, never for "no owner".
    EXPECT_EQ(names.asked, (std::map<std::uint32_t, int>{{612, 1}, {700, 1}, {999, 1}}));
    sockscope().getstat_free(tcp);
}

TEST(SnapshotBuilder, UdpRecords) {
    FakeNames names;
    SocketRow row;
    row.local_address = address(127, 0, 0, 1);
    row.local_port = port(53);
    row.owner = 612;
    statUDPROW* udp = build_udp_snapshot({row, row}, names.lookup());
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(udp[1].size, 2u);
    EXPECT_STREQ(udp[1].LocalAddr, "127.0.0.1");
    EXPECT_EQ(udp[1].LocalPort, 53u);
    EXPECT_EQ(udp[1].PID, 612u);
    EXPECT_EQ(std::u16string(udp[1].ProcessName), u"sshd");
    EXPECT_EQ(names.asked[612], 1);
    sockscope().getstat_free(udp);
}

TEST(RowOrder, TcpByAddressesAndPortsAsHostNumbersThenOwner) {
    std::vector<SocketRow> rows = {
        tcp_row(address(192, 168, 0, 1), 1, 0, 0, 2, 1),
        tcp_row(address(127, 0, 0, 1), 256, 0, 0, 2, 1),
        tcp_row(address(127, 0, 0, 1), 1, address(127, 0, 0, 1), 2, 5, 1),
        tcp_row(address(127, 0, 0, 1), 1, address(10, 0, 0, 1), 9, 5, 1),
        tcp_row(address(127, 0, 0, 1), 1, address(10, 0, 0, 1), 8, 5, 1),
        tcp_row(address(10, 0, 0, 1), 65535, 0, 0, 2, 1),
        tcp_row(address(127, 0, 0, 1), 9, 0, 0, 2, 30),
        tcp_row(address(127, 0, 0, 1), 9, 0, 0, 2, 20),
    };
    sort_rows(rows, Protocol::tcp);
    const std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>> expected = {
        {address(10, 0, 0, 1), port(65535), 0, 1},
        {address(127, 0, 0, 1), port(1), address(10, 0, 0, 1), 1},
        {address(127, 0, 0, 1), port(1), address(10, 0, 0, 1), 1},
        {address(127, 0, 0, 1), port(1), address(127, 0, 0, 1), 1},
        {address(127, 0, 0, 1), port(9), 0, 20},
        {address(127, 0, 0, 1), port(9), 0, 30},
        {address(127, 0, 0, 1), port(256), 0, 1},
        {address(192, 168, 0, 1), port(1), 0, 1},
    };
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(std::make_tuple(rows[i].local_address, rows[i].local_port, rows[i].remote_address, rows[i].owner),
                  expected[i])
            << i;
    }
    EXPECT_EQ(rows[1].remote_port, port(8));
    EXPECT_EQ(rows[2].remote_port, port(9));
}

TEST(RowOrder, UdpByLocalAddressPortThenOwner) {
    std::vector<SocketRow> rows(3);
    rows[0].local_address = address(127, 0, 0, 2);
    rows[1].local_address = address(127, 0, 0, 1);
    rows[1].owner = 9;
    rows[2].local_address = address(127, 0, 0, 1);
    rows[2].owner = 3;
    sort_rows(rows, Protocol::udp);
    EXPECT_EQ(rows[0].owner, 3u);
    EXPECT_EQ(rows[1].owner, 9u);
    EXPECT_EQ(rows[2].local_address, address(127, 0, 0, 2));
}

} // namespace

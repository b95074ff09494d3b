// The parsers of what the kernel hands over: /proc/net text tables, netlink
// dump datagrams and descriptor links. Fixtures stand for states and
// damage that a live kernel won't produce on demand.
#include <cstring>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "netlink_diag.h"
#include "proc_net_parser.h"
#include "socket_owners.h"

using namespace sockscope_detail;

namespace {

const char* const tcp_table =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode      \n"
    "   0: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1356 1 000000007b7634d6 100 0 0 10 0\n"
    "   1: 0100007F:AFB1 0100007F:E166 01 00000000:00000000 00:00000000 00000000  1000        0 6819 1 00000000b0522abd 20 0 0 10 -1\n"
    "   2: 0A00000A:01BB C0A80001:D431 06 00000000:00000000 03:00001770 00000000     0        0 0 3 0000000000000000\n"
    "   3: 0100007F:0050 0100007F:9C40 03 00000000:00000000 01:00000064 00000000     0        0 0 2 0000000000000000\n";

TEST(ProcNetParser, ReadsEveryFieldOfTcpRows) {
    std::vector<SocketRow> rows;
    std::string error;
    ASSERT_TRUE(parse_proc_net_table(tcp_table, Protocol::tcp, rows, error)) << error;
    ASSERT_EQ(rows.size(), 4u);

    EXPECT_EQ(rows[0].local_address, 0u);
    EXPECT_EQ(rows[0].local_port, 0xE807u); // 2024 in network layout
    EXPECT_EQ(rows[0].state, 2u);            // LISTEN
    EXPECT_EQ(rows[0].inode, 1356u);

    EXPECT_EQ(rows[1].local_address, 0x0100007Fu);
    EXPECT_EQ(rows[1].remote_address, 0x0100007Fu);
    EXPECT_EQ(rows[1].remote_port, 0x66E1u);
    EXPECT_EQ(rows[1].state, 5u); // ESTABLISHED

    EXPECT_EQ(rows[2].local_address, 0x0A00000Au);
    EXPECT_EQ(rows[2].local_port, 0xBB01u); // 443
    EXPECT_EQ(rows[2].state, 11u);          // TIME_WAIT
    EXPECT_EQ(rows[2].inode, 0u);

    EXPECT_EQ(rows[3].state, 4u); // SYN_RECV
    for (const auto& row : rows) EXPECT_EQ(row.owner, 0u);
}

TEST(ProcNetParser, UdpRowsCarryNoPeerOrState) {
    const char* udp =
        "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
        " 1566: 0100007F:9782 0100007F:0009 01 00000000:00000000 00:00000000 00000000     0        0 6820 2 000000008d6ec7ec 0\n"
        "  100: 00000000:0044 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 77 2 000000008d6ec7ec 0\n";
    std::vector<SocketRow> rows;
    std::string error;
    ASSERT_TRUE(parse_proc_net_table(udp, Protocol::udp, rows, error)) << error;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].local_port, 0x8297u);
    EXPECT_EQ(rows[0].remote_address, 0u);
    EXPECT_EQ(rows[0].remote_port, 0u);
    EXPECT_EQ(rows[0].state, 0u);
    EXPECT_EQ(rows[1].inode, 77u);
}

TEST(ProcNetParser, HeaderOnlyAndEmptyTextsHaveNoRows) {
    std::vector<SocketRow> rows;
    std::string error;
    EXPECT_TRUE(parse_proc_net_table("", Protocol::tcp, rows, error));
    EXPECT_TRUE(parse_proc_net_table("  sl  local_address rem_address   st\n", Protocol::tcp, rows, error));
    EXPECT_TRUE(parse_proc_net_table("  sl  local_address\n\n   \n", Protocol::tcp, rows, error));
    EXPECT_TRUE(rows.empty());
}

TEST(ProcNetParser, MalformedLinesAreErrorsThatNameTheLine) {
    const std::string header = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    const char* bad_lines[] = {
        "   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0", // cut short
        "   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 12x4",
        "   0: 0100007G:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1",
        "   0: 100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1",
        "   0: 0100007F:00500 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1",
        "   0: 0100007F-0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1",
        "   0 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1",
        "   0: 0100007F:0050 00000000:0000 10A 00000000:00000000 00:00000000 00000000     0        0 1",
        "   0: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 99999999999999999999",
        "0100007F:0050",
    };
    for (const char* line : bad_lines) {
        std::vector<SocketRow> rows;
        std::string error;
        EXPECT_FALSE(parse_proc_net_table(header + line + "\n", Protocol::tcp, rows, error)) << line;
        EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    }
}

TEST(ProcNetParser, LastLineWithoutLineEndCounts) {
    std::vector<SocketRow> rows;
    std::string error;
    std::string text = tcp_table;
    text.pop_back();
    ASSERT_TRUE(parse_proc_net_table(text, Protocol::tcp, rows, error));
    EXPECT_EQ(rows.size(), 4u);
}

// Builds netlink datagrams the way the kernel lays them out.
class Datagram {
public:
    Datagram& diag(std::uint32_t seq, std::uint8_t family, std::uint8_t state, std::uint32_t inode,
                   std::uint16_t flags = NLM_F_MULTI) {
        inet_diag_msg message{};
        message.idiag_family = family;
        message.idiag_state = state;
        message.id.idiag_src[0] = 0x0100007F;
        message.id.idiag_sport = 0x5000;
        message.id.idiag_dst[0] = 0x0200007F;
        message.id.idiag_dport = 0xBB01;
        message.idiag_inode = inode;
        return add(SOCK_DIAG_BY_FAMILY, seq, flags, &message, sizeof message);
    }
    Datagram& done(std::uint32_t seq, std::uint16_t flags = NLM_F_MULTI) {
        const int status = 0;
        return add(NLMSG_DONE, seq, flags, &status, sizeof status);
    }
    Datagram& error(std::uint32_t seq) {
        nlmsgerr failure{};
        failure.error = -EPERM;
        return add(NLMSG_ERROR, seq, 0, &failure, sizeof failure);
    }
    Datagram& add(std::uint16_t type, std::uint32_t seq, std::uint16_t flags, const void* payload, std::size_t size) {
        nlmsghdr header{};
        header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(size));
        header.nlmsg_type = type;
        header.nlmsg_flags = flags;
        header.nlmsg_seq = seq;
        const std::size_t start = bytes.size();
        bytes.resize(start + NLMSG_SPACE(size));
        std::memcpy(bytes.data() + start, &header, sizeof header);
        std::memcpy(bytes.data() + start + NLMSG_HDRLEN, payload, size);
        return *this;
    }
    std::vector<unsigned char> bytes;
};

DiagBatch parse(const std::vector<unsigned char>& bytes, std::vector<SocketRow>& rows, bool& interrupted,
                Protocol protocol = Protocol::tcp) {
    return parse_diag_batch(bytes.data(), bytes.size(), 7, protocol, rows, interrupted);
}

TEST(NetlinkParser, TakesIpv4RowsUntilDone) {
    Datagram datagram;
    datagram.diag(7, AF_INET, 10, 42).diag(7, AF_INET6, 1, 43).diag(7, AF_INET, 6, 0);
    std::vector<SocketRow> rows;
    bool interrupted = false;
    EXPECT_EQ(parse(datagram.bytes, rows, interrupted), DiagBatch::more);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].state, 2u); // LISTEN
    EXPECT_EQ(rows[0].local_address, 0x0100007Fu);
    EXPECT_EQ(rows[0].local_port, 0x5000u);
    EXPECT_EQ(rows[0].remote_address, 0x0200007Fu);
    EXPECT_EQ(rows[0].remote_port, 0xBB01u);
    EXPECT_EQ(rows[0].inode, 42u);
    EXPECT_EQ(rows[1].state, 11u); // TIME_WAIT
    EXPECT_FALSE(interrupted);

    Datagram last;
    last.diag(7, AF_INET, 1, 44).done(7);
    EXPECT_EQ(parse(last.bytes, rows, interrupted), DiagBatch::done);
    EXPECT_EQ(rows.size(), 3u);
}

TEST(NetlinkParser, UdpRowsCarryNoPeerOrState) {
    Datagram datagram;
    datagram.diag(7, AF_INET, 7, 5);
    std::vector<SocketRow> rows;
    bool interrupted = false;
    parse(datagram.bytes, rows, interrupted, Protocol::udp);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].state, 0u);
    EXPECT_EQ(rows[0].remote_address, 0u);
    EXPECT_EQ(rows[0].remote_port, 0u);
}

TEST(NetlinkParser, ErrorsAndDamage) {
    std::vector<SocketRow> rows;
    bool interrupted = false;
    EXPECT_EQ(parse(Datagram().error(7).bytes, rows, interrupted), DiagBatch::error);
    EXPECT_EQ(parse(Datagram().diag(8, AF_INET, 1, 1).bytes, rows, interrupted), DiagBatch::error); // foreign seq

    auto cut = Datagram().diag(7, AF_INET, 1, 1).bytes;
    cut.resize(cut.size() - 8); // message longer than the datagram
    EXPECT_EQ(parse(cut, rows, interrupted), DiagBatch::error);

    const int tiny = 0; // a diag message too short to hold its payload
    EXPECT_EQ(parse(Datagram().add(SOCK_DIAG_BY_FAMILY, 7, 0, &tiny, sizeof tiny).bytes, rows, interrupted),
              DiagBatch::error);

    auto zero_length = Datagram().diag(7, AF_INET, 1, 1).bytes;
    zero_length[0] = zero_length[1] = zero_length[2] = zero_length[3] = 0;
    EXPECT_EQ(parse(zero_length, rows, interrupted), DiagBatch::error);

    EXPECT_EQ(parse({1, 2, 3}, rows, interrupted), DiagBatch::more); // shorter than a header: nothing
    EXPECT_TRUE(rows.empty());
}

TEST(NetlinkParser, NoticesAnInterruptedDump) {
    std::vector<SocketRow> rows;
    bool interrupted = false;
    EXPECT_EQ(parse(Datagram().diag(7, AF_INET, 1, 1, NLM_F_MULTI | NLM_F_DUMP_INTR).done(7).bytes, rows, interrupted),
              DiagBatch::done);
    EXPECT_TRUE(interrupted);
}

TEST(SocketLinks, OnlySocketLinksGiveAnInode) {
    std::uint64_t inode = 0;
    EXPECT_TRUE(parse_socket_link("socket:[12345]", inode));
    EXPECT_EQ(inode, 12345u);
    EXPECT_TRUE(parse_socket_link("socket:[18446744073709551]", inode));
    for (const char* link : {"socket:[]", "socket:[12", "socket:12]", "pipe:[123]", "/dev/null", "socket:[1a]",
                             "anon_inode:[eventfd]", "socket:[99999999999999999999]", ""})
        EXPECT_FALSE(parse_socket_link(link, inode)) << link;
}

} // namespace

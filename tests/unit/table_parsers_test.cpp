// SPDX-License-Identifier: MIT
// The parsers of what the kernel hands over: /proc/net text tables, netlink
// dump datagrams and descriptor links. Fixtures stand for states and
// damage that a live kernel won't produce on demand.
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "core/netlink_messages.h"
#include "core/open_files.h"
#include "core/proc_net_parser.h"
#include "core/socket_link.h"
#include "core/tcp_state.h"
#include "support/table_rows.h"

using namespace sockscope_detail;
using sockscope_test::ipv4;

namespace {

const char* const tcp_table =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode      \n"
    "   0: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1356 1 000000007b7634d6 100 0 0 10 0\n"
    "   1: 0100007F:AFB1 0100007F:E166 01 00000000:00000000 00:00000000 00000000  1000        0 6819 1 00000000b0522abd 20 0 0 10 -1\n"
    "   2: 0A00000A:01BB C0A80001:D431 06 00000000:00000000 03:00001770 00000000     0        0 0 3 0000000000000000\n"
    "   3: 0100007F:0050 0100007F:9C40 03 00000000:00000000 01:00000064 00000000     0        0 0 2 0000000000000000\n";

TEST(ProcNetParser, ReadsEveryFieldOfTcpRows) {
    SocketRows rows;
    ASSERT_TRUE(parse_proc_net_table(tcp_table, {Protocol::tcp, Family::ipv4, 0, {}}, rows).ok());
    ASSERT_EQ(rows.size(), 4u);

    EXPECT_EQ(rows[0].local_address, ipv4(0, 0, 0, 0));
    EXPECT_EQ(rows[0].local_port, 0xE807u); // 2024 in network layout
    EXPECT_EQ(rows[0].state, 10u);           // LISTEN, the kernel's number
    EXPECT_EQ(rows[0].inode, 1356u);

    EXPECT_EQ(rows[1].local_address, ipv4(127, 0, 0, 1));
    EXPECT_EQ(rows[1].remote_address, ipv4(127, 0, 0, 1));
    EXPECT_EQ(rows[1].remote_port, 0x66E1u);
    EXPECT_EQ(rows[1].state, 1u); // ESTABLISHED
    EXPECT_EQ(rows[1].uid, 1000u);

    EXPECT_EQ(rows[2].local_address, ipv4(10, 0, 0, 10));
    EXPECT_EQ(rows[2].local_port, 0xBB01u); // 443
    EXPECT_EQ(rows[2].state, 6u);           // TIME_WAIT
    EXPECT_EQ(rows[2].inode, 0u);

    EXPECT_EQ(rows[3].state, 3u); // SYN_RECV
    for (const auto& row : rows) EXPECT_EQ(row.owner, 0u);
}

TEST(ProcNetParser, UdpRowsCarryTheirPeerStateAndQueues) {
    const char* udp =
        "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
        " 1566: 0100007F:9782 0100007F:0009 01 00000000:00001388 00:00000000 00000000     0        0 6820 2 000000008d6ec7ec 0\n"
        "  100: 00000000:0044 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 77 2 000000008d6ec7ec 0\n";
    SocketRows rows;
    ASSERT_TRUE(parse_proc_net_table(udp, {Protocol::udp, Family::ipv4, 0, {}}, rows).ok());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].local_port, 0x8297u);
    EXPECT_EQ(rows[0].remote_address, ipv4(127, 0, 0, 1)); // connected
    EXPECT_EQ(rows[0].remote_port, 0x0900u);
    EXPECT_EQ(rows[0].state, 1u);
    EXPECT_EQ(rows[0].receive_queue, 5000u);
    EXPECT_EQ(rows[1].state, 7u); // unconnected
    EXPECT_EQ(rows[1].inode, 77u);
}

TEST(ProcNetParser, Ipv6AddressesAreFourKernelWords) {
    const char* tcp6 =
        "  sl  local_address                         remote_address                        st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 00000000000000000000000001000000:1F90 00000000000000000000000000000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 901 1 0000000000000000 100 0 0 10 0\n"
        "   1: 0000000000000000FFFF00000100007F:1F90 0000000000000000FFFF00000100007F:C350 01 00000000:00000000 00:00000000 00000000     0        0 902 1 0000000000000000 20 4 30 10 -1\n";
    SocketRows rows;
    ASSERT_TRUE(parse_proc_net_table(tcp6, {Protocol::tcp, Family::ipv6, 0, {}}, rows).ok());
    ASSERT_EQ(rows.size(), 2u);
    Address loopback{};
    loopback[15] = 1;
    EXPECT_EQ(rows[0].local_address, loopback);
    EXPECT_EQ(rows[0].local_port, 0x901Fu);
    EXPECT_EQ(rows[0].state, 10u);
    Address mapped{};
    mapped[10] = mapped[11] = 0xFF;
    mapped[12] = 127;
    mapped[15] = 1;
    EXPECT_EQ(rows[1].local_address, mapped);
    EXPECT_EQ(rows[1].remote_address, mapped);
    EXPECT_EQ(rows[1].remote_port, 0x50C3u); // 50000
    EXPECT_EQ(rows[1].inode, 902u);
    // An IPv4-sized address in an IPv6 table is damage, and the reverse.
    EXPECT_FALSE(parse_proc_net_table(tcp_table, {Protocol::tcp, Family::ipv6, 0, {}}, rows).ok());
    EXPECT_FALSE(parse_proc_net_table(tcp6, {Protocol::tcp, Family::ipv4, 0, {}}, rows).ok());
}

TEST(ProcNetParser, HeaderOnlyAndEmptyTextsHaveNoRows) {
    SocketRows rows;
    EXPECT_TRUE(parse_proc_net_table("", {Protocol::tcp, Family::ipv4, 0, {}}, rows).ok());
    EXPECT_TRUE(parse_proc_net_table("  sl  local_address rem_address   st\n", {Protocol::tcp, Family::ipv4, 0, {}}, rows).ok());
    EXPECT_TRUE(parse_proc_net_table("  sl  local_address\n\n   \n", {Protocol::tcp, Family::ipv4, 0, {}}, rows).ok());
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
        SocketRows rows;
        EXPECT_FALSE(parse_proc_net_table(header + line + "\n", {Protocol::tcp, Family::ipv4, 0, {}}, rows).ok()) << line;
    }
}

TEST(OpenFiles, TheFirstNumberOfFileNr) {
    EXPECT_EQ(parse_open_files("12396\t0\t2466137\n").value(), 12396u);
    for (const char* broken : {"", "\t0\t2466137\n", "-1\t0\t5\n", "12 396\t0\t5\n"})
        EXPECT_EQ(parse_open_files(broken).ok(), false) << broken;
}

TEST(ProcNetParser, LastLineWithoutLineEndCounts) {
    SocketRows rows;
    std::string text = tcp_table;
    text.pop_back();
    ASSERT_TRUE(parse_proc_net_table(text, {Protocol::tcp, Family::ipv4, 0, {}}, rows).ok());
    EXPECT_EQ(rows.size(), 4u);
}

// Builds netlink datagrams the way the kernel lays them out.
class Datagram {
public:
    Datagram& diag(std::uint32_t seq, std::uint8_t family, std::uint8_t state, std::uint32_t inode,
                   std::uint16_t flags = NLM_F_MULTI, std::uint16_t type = SOCK_DIAG_BY_FAMILY) {
        inet_diag_msg message{};
        message.idiag_family = family;
        message.idiag_state = state;
        if (family == AF_INET) {
            message.id.idiag_src[0] = 0x0100007F;
            message.id.idiag_dst[0] = 0x0200007F;
        } else {
            message.id.idiag_src[3] = htonl(1);          // ::1
            message.id.idiag_dst[2] = htonl(0xFFFF);     // ::ffff:127.0.0.2
            message.id.idiag_dst[3] = htonl(0x7F000002);
        }
        message.id.idiag_sport = 0x5000;
        message.id.idiag_dport = 0xBB01;
        message.idiag_inode = inode;
        return add(type, seq, flags, &message, sizeof message);
    }
    Datagram& done(std::uint32_t seq, int status = 0) {
        return add(NLMSG_DONE, seq, NLM_F_MULTI, &status, sizeof status);
    }
    Datagram& error(std::uint32_t seq, int error) {
        nlmsgerr failure{};
        failure.error = -error;
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

DiagBatch::Outcome parse(const std::vector<unsigned char>& bytes, SocketRows& rows, bool& interrupted,
                         Protocol protocol = Protocol::tcp, Family family = Family::ipv4) {
    return parse_diag_batch(bytes.data(), bytes.size(), 7, {protocol, family, 0, {}}, rows, interrupted).outcome;
}

TEST(NetlinkParser, TakesRowsOfTheFamilyAskedForUntilDone) {
    Datagram datagram;
    datagram.diag(7, AF_INET, 10, 42).diag(7, AF_INET6, 1, 43).diag(7, AF_INET, 6, 0);
    SocketRows rows;
    bool interrupted = false;
    EXPECT_EQ(parse(datagram.bytes, rows, interrupted), DiagBatch::more);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].state, 10u); // LISTEN
    EXPECT_EQ(rows[0].local_address, ipv4(127, 0, 0, 1));
    EXPECT_EQ(rows[0].local_port, 0x5000u);
    EXPECT_EQ(rows[0].remote_address, ipv4(127, 0, 0, 2));
    EXPECT_EQ(rows[0].remote_port, 0xBB01u);
    EXPECT_EQ(rows[0].inode, 42u);
    EXPECT_EQ(rows[1].state, 6u); // TIME_WAIT
    EXPECT_FALSE(interrupted);

    Datagram last;
    last.diag(7, AF_INET, 1, 44).done(7);
    EXPECT_EQ(parse(last.bytes, rows, interrupted), DiagBatch::done);
    EXPECT_EQ(rows.size(), 3u);

    SocketRows v6;
    EXPECT_EQ(parse(datagram.bytes, v6, interrupted, Protocol::tcp, Family::ipv6), DiagBatch::more);
    ASSERT_EQ(v6.size(), 1u);
    Address loopback{};
    loopback[15] = 1;
    EXPECT_EQ(v6[0].local_address, loopback);
    EXPECT_EQ(v6[0].remote_address[11], 0xFF);
    EXPECT_EQ(v6[0].remote_address[12], 127);
    EXPECT_EQ(v6[0].inode, 43u);
}

// TCP's request for both families: its own message type, asked and
// answered, and rows of each family as the message says.
TEST(NetlinkParser, OneDumpOfBothFamiliesTakesEach) {
    const std::uint16_t port = 80;
    const std::vector<unsigned char> request =
        make_dump_request({Protocol::tcp, Family::ipv4, 0, std::span(&port, 1)}, 7, DumpKind::tcp_both_families);
    nlmsghdr header;
    inet_diag_req asked;
    ASSERT_GT(request.size(), NLMSG_SPACE(sizeof asked)); // the port's filter follows
    std::memcpy(&header, request.data(), sizeof header);
    std::memcpy(&asked, request.data() + NLMSG_HDRLEN, sizeof asked);
    EXPECT_EQ(header.nlmsg_type, TCPDIAG_GETSOCK);
    EXPECT_EQ(header.nlmsg_len, request.size());
    EXPECT_EQ(asked.idiag_states, tcp_listed_states);

    Datagram datagram;
    datagram.diag(7, AF_INET, 10, 1, NLM_F_MULTI, TCPDIAG_GETSOCK)
        .diag(7, AF_INET6, 10, 2, NLM_F_MULTI, TCPDIAG_GETSOCK)
        .diag(7, AF_UNIX, 10, 3, NLM_F_MULTI, TCPDIAG_GETSOCK)
        .diag(7, AF_INET, 10, 4) // another request's type
        .done(7);
    SocketRows rows;
    bool interrupted = false;
    EXPECT_EQ(parse_diag_batch(datagram.bytes.data(), datagram.bytes.size(), 7, {}, rows, interrupted,
                               DumpKind::tcp_both_families)
                  .outcome,
              DiagBatch::done);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].family, Family::ipv4);
    EXPECT_EQ(rows[0].local_address, ipv4(127, 0, 0, 1));
    EXPECT_EQ(rows[1].family, Family::ipv6);
    EXPECT_EQ(rows[1].local_address[15], 1);
}

// The details a request asks for: in its extension bits, and read from the
// attributes of the kernel's age (a struct tcp_info shorter or longer than
// ours, a name without its end, fewer memory figures).
TEST(NetlinkParser, DetailsComeWhereAsked) {
    DetailStore store;
    TableRequest asked{Protocol::tcp, Family::ipv4, 0, {}, nullptr, detail_tcp_info | detail_memory, &store};
    inet_diag_req_v2 request;
    std::memcpy(&request, make_dump_request(asked, 7).data() + NLMSG_HDRLEN, sizeof request);
    EXPECT_EQ(request.idiag_ext, 1 << (INET_DIAG_INFO - 1) | 1 << (INET_DIAG_CONG - 1) | 1 << (INET_DIAG_SKMEMINFO - 1));

    const auto message = [](std::uint8_t timer, std::vector<std::pair<unsigned short, std::vector<unsigned char>>> attributes) {
        std::vector<unsigned char> payload(NLMSG_ALIGN(sizeof(inet_diag_msg)));
        inet_diag_msg diag{};
        diag.idiag_family = AF_INET;
        diag.idiag_state = 1;
        diag.idiag_timer = timer;
        diag.idiag_retrans = 2;
        diag.idiag_expires = 7000;
        std::memcpy(payload.data(), &diag, sizeof diag);
        for (const auto& [type, value] : attributes) {
            rtattr header{static_cast<unsigned short>(RTA_LENGTH(value.size())), type};
            const std::size_t at = payload.size();
            payload.resize(at + RTA_SPACE(value.size()));
            std::memcpy(payload.data() + at, &header, sizeof header);
            std::memcpy(payload.data() + at + RTA_LENGTH(0), value.data(), value.size());
        }
        return payload;
    };
    const auto words = [](std::vector<std::uint32_t> values) {
        std::vector<unsigned char> bytes(values.size() * 4);
        std::memcpy(bytes.data(), values.data(), bytes.size());
        return bytes;
    };
    std::vector<unsigned char> old_info(8, 0), new_info(sizeof(tcp_info) + 16, 0);
    old_info[0] = 1;   // tcpi_state
    new_info[offsetof(tcp_info, tcpi_snd_mss)] = 77;
    const std::string long_name = "a-very-long-algorithm";
    Datagram datagram;
    const auto first = message(2, {{INET_DIAG_INFO, old_info},
                                   {INET_DIAG_CONG, {'c', 'u', 'b', 'i', 'c', 0}},
                                   {INET_DIAG_SKMEMINFO, words({1, 2, 3, 4, 5, 6, 7, 8, 9})}});
    const auto second = message(0, {{INET_DIAG_INFO, new_info},
                                    {INET_DIAG_CONG, {long_name.begin(), long_name.end()}},
                                    {INET_DIAG_SKMEMINFO, words({10, 20})}});
    datagram.add(SOCK_DIAG_BY_FAMILY, 7, NLM_F_MULTI, first.data(), first.size())
        .add(SOCK_DIAG_BY_FAMILY, 7, NLM_F_MULTI, second.data(), second.size());
    SocketRows rows;
    bool interrupted = false;
    parse_diag_batch(datagram.bytes.data(), datagram.bytes.size(), 7, asked, rows, interrupted);
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_TRUE(rows[0].details != nullptr && rows[1].details != nullptr);
    const SocketDetails& older = *rows[0].details;
    EXPECT_TRUE(older.has_tcp_info && older.has_memory);
    EXPECT_FALSE(older.has_timer); // not asked for
    EXPECT_EQ(older.tcp_info_size, 8u);
    EXPECT_EQ(older.info.tcpi_state, 1);
    EXPECT_EQ(older.info.tcpi_snd_mss, 0u); // past what the kernel gave
    EXPECT_STREQ(older.congestion.data(), "cubic");
    EXPECT_EQ(older.memory[8], 9u);
    const SocketDetails& newer = *rows[1].details;
    EXPECT_EQ(newer.tcp_info_size, sizeof(tcp_info));
    EXPECT_EQ(newer.info.tcpi_snd_mss, 77u);
    EXPECT_EQ(std::string(newer.congestion.data()), long_name.substr(0, sizeof newer.congestion - 1));
    EXPECT_EQ(newer.memory[1], 20u);
    EXPECT_EQ(newer.memory[2], 0u);

    // The timer, asked alone; without a store, nothing.
    asked.details = detail_timer;
    rows.clear();
    parse_diag_batch(datagram.bytes.data(), datagram.bytes.size(), 7, asked, rows, interrupted);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].details->has_timer && !rows[0].details->has_tcp_info && !rows[0].details->has_memory);
    EXPECT_EQ(rows[0].details->timer, 2);
    EXPECT_EQ(rows[0].details->retransmits, 2);
    EXPECT_EQ(rows[0].details->expires_ms, 7000u);
    asked.detail_store = nullptr;
    rows.clear();
    parse_diag_batch(datagram.bytes.data(), datagram.bytes.size(), 7, asked, rows, interrupted);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].details, nullptr);
}

// A connected UDP socket's peer is the kernel's as for TCP; its state is
// the kernel's too (CLOSE unconnected, ESTABLISHED connected).
TEST(NetlinkParser, UdpRowsCarryTheirPeerAndState) {
    Datagram datagram;
    datagram.diag(7, AF_INET, 7, 5);
    SocketRows rows;
    bool interrupted = false;
    parse(datagram.bytes, rows, interrupted, Protocol::udp);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].state, 7u);
    EXPECT_EQ(rows[0].protocol, Protocol::udp);
}

TEST(NetlinkParser, KernelErrorsCarryTheirErrno) {
    SocketRows rows;
    bool interrupted = false;
    const auto batch = [&](const Datagram& datagram) {
        return parse_diag_batch(datagram.bytes.data(), datagram.bytes.size(), 7, {Protocol::tcp, Family::ipv4, 0, {}}, rows,
                                interrupted);
    };
    DiagBatch result = batch(Datagram().error(7, EPERM));
    EXPECT_EQ(result.outcome, DiagBatch::failed);
    EXPECT_EQ(result.error, EPERM);
    // The dump's own error arrives as a negative NLMSG_DONE payload.
    result = batch(Datagram().diag(7, AF_INET, 1, 1).done(7, -EINTR));
    EXPECT_EQ(result.outcome, DiagBatch::failed);
    EXPECT_EQ(result.error, EINTR);
    EXPECT_EQ(batch(Datagram().done(7, 0)).outcome, DiagBatch::done);
    // Found by fuzzing: the most negative int has no positive errno.
    result = batch(Datagram().done(7, INT_MIN));
    EXPECT_EQ(result.outcome, DiagBatch::failed);
    EXPECT_EQ(result.error, EPROTO);
    nlmsgerr most_negative{};
    most_negative.error = INT_MIN;
    result = batch(Datagram().add(NLMSG_ERROR, 7, 0, &most_negative, sizeof most_negative));
    EXPECT_EQ(result.outcome, DiagBatch::failed);
    EXPECT_EQ(result.error, EPROTO);
    // An error message too short for its errno is still an error.
    const char nothing = 0;
    result = batch(Datagram().add(NLMSG_ERROR, 7, 0, &nothing, 1));
    EXPECT_EQ(result.outcome, DiagBatch::failed);
    EXPECT_EQ(result.error, EPROTO);
}

TEST(NetlinkParser, DamageIsMalformed) {
    SocketRows rows;
    bool interrupted = false;
    EXPECT_EQ(parse(Datagram().diag(8, AF_INET, 1, 1).bytes, rows, interrupted), DiagBatch::malformed); // foreign seq

    auto cut = Datagram().diag(7, AF_INET, 1, 1).bytes;
    cut.resize(cut.size() - 8); // message longer than the datagram
    EXPECT_EQ(parse(cut, rows, interrupted), DiagBatch::malformed);

    const int tiny = 0; // a diag message too short to hold its payload
    EXPECT_EQ(parse(Datagram().add(SOCK_DIAG_BY_FAMILY, 7, 0, &tiny, sizeof tiny).bytes, rows, interrupted),
              DiagBatch::malformed);

    auto zero_length = Datagram().diag(7, AF_INET, 1, 1).bytes;
    zero_length[0] = zero_length[1] = zero_length[2] = zero_length[3] = 0;
    EXPECT_EQ(parse(zero_length, rows, interrupted), DiagBatch::malformed);

    EXPECT_EQ(parse({1, 2, 3}, rows, interrupted), DiagBatch::more); // shorter than a header: nothing
    EXPECT_TRUE(rows.empty());
}

TEST(NetlinkParser, NoticesAnInterruptedDump) {
    SocketRows rows;
    bool interrupted = false;
    EXPECT_EQ(parse(Datagram().diag(7, AF_INET, 1, 1, NLM_F_MULTI | NLM_F_DUMP_INTR).done(7).bytes, rows, interrupted),
              DiagBatch::done);
    EXPECT_TRUE(interrupted);
}

// A TCP dump recorded from a live kernel (test_programs/record_netlink_dump): every
// datagram as a 32-bit length and its bytes. The recorder held a listener
// on 127.0.0.77 with 200 connections to it, which spreads the dump over
// several datagrams; the .txt beside it holds what it knew of its sockets.
TEST(NetlinkParser, ReplaysARecordedDump) {
    const std::string folder = SOCKSCOPE_FIXTURES;
    std::ifstream dump(folder + "/netlink_tcp_dump.bin", std::ios::binary);
    std::ifstream facts(folder + "/netlink_tcp_dump.txt");
    ASSERT_TRUE(dump && facts);
    std::size_t expected_rows = 0, datagrams = 0;
    unsigned listener_port = 0;
    std::uint64_t listener_inode = 0;
    std::string key;
    while (facts >> key) {
        if (key == "rows") facts >> expected_rows;
        else if (key == "listener") facts >> listener_port >> listener_inode;
    }
    SocketRows rows;
    bool interrupted = false;
    DiagBatch::Outcome outcome = DiagBatch::more;
    std::uint32_t length = 0;
    while (outcome == DiagBatch::more && dump.read(reinterpret_cast<char*>(&length), sizeof length)) {
        std::vector<char> datagram(length);
        ASSERT_TRUE(dump.read(datagram.data(), length));
        ++datagrams;
        outcome = parse_diag_batch(datagram.data(), datagram.size(), 1, {Protocol::tcp, Family::ipv4, 0, {}}, rows,
                                   interrupted)
                      .outcome;
    }
    EXPECT_EQ(outcome, DiagBatch::done);
    EXPECT_GT(datagrams, 1u);
    EXPECT_FALSE(interrupted);
    EXPECT_EQ(rows.size(), expected_rows);
    std::size_t on_listener = 0;
    for (const SocketRow& row : rows) {
        EXPECT_GE(row.state, 1u);
        EXPECT_LE(row.state, 12u);
        if (row.local_address != ipv4(127, 0, 0, 77) || row.local_port != sockscope_test::port_field(listener_port))
            continue;
        ++on_listener;
        if (row.state == 10) EXPECT_EQ(row.inode, listener_inode); // LISTEN
        else EXPECT_EQ(row.state, 1u);                            // ESTABLISHED
    }
    EXPECT_EQ(on_listener, 201u); // the listener and the server end of each connection
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

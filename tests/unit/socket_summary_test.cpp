// SPDX-License-Identifier: MIT
// The kernel's socket counts (sockstat, sockstat6, snmp): every figure read
// from its own field, and every damaged text refused whole; and the rows a
// dump is counted to give, from the same texts.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "core/socket_summary.h"
#include "core/table_size_estimate.h"

using namespace sockscope_detail;

namespace {

const std::string sockstat = "sockets: used 21\n"
                             "TCP: inuse 6 orphan 3 tw 4 alloc 17 mem 2\n"
                             "UDP: inuse 5 mem 1\n"
                             "UDPLITE: inuse 9\n"
                             "RAW: inuse 1\n"
                             "FRAG: inuse 2 memory 4096\n";
const std::string sockstat6 =
    "TCP6: inuse 7\nUDP6: inuse 8\nUDPLITE6: inuse 9\nRAW6: inuse 11\nFRAG6: inuse 12 memory 0\n";
const std::string snmp = "Ip: Forwarding DefaultTTL\nIp: 2 64\n"
                         "Tcp: RtoAlgorithm MaxConn CurrEstab InSegs\nTcp: 1 -1 13 6666631\n";

// `text` with the first `from` replaced by `to`.
std::string with(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

TEST(SocketSummary, EveryFigureComesFromItsOwnFieldWithOrWithoutIpv6) {
    SocketSummary s;
    ASSERT_EQ(parse_socket_summary(sockstat, sockstat6, snmp, s), "");
    EXPECT_EQ(std::vector<std::uint64_t>({s.sockets_used, s.tcp4, s.tcp6, s.tcp_orphans, s.tcp_time_wait,
                                          s.tcp_allocated, s.tcp_established, s.udp4, s.udp6, s.raw4, s.raw6,
                                          s.frag4, s.frag6}),
              std::vector<std::uint64_t>({21, 6, 7, 3, 4, 17, 13, 5, 8, 1, 11, 2, 12})); // UDP-Lite is not UDP
    EXPECT_EQ(s.tcp_total(), 17u + 4u);
    EXPECT_EQ(s.tcp_closed(), 17 + 4 - (6 + 7));
    EXPECT_TRUE(s.has_ipv6);
    // Fields in another order, a field the parser does not know, no IPv6;
    // counts that disagree give a negative figure, not a huge one.
    const std::string other = "FRAG: memory 0 inuse 1\nTCP: alloc 1 new 8 tw 0 orphan 0 inuse 2\nRAW: inuse 0\n"
                              "UDP: inuse 4\nsockets: used 9\n";
    ASSERT_EQ(parse_socket_summary(other, std::nullopt, snmp, s), "");
    EXPECT_EQ(s.tcp4 + s.udp4 + s.frag4 + s.tcp_allocated, 2u + 4u + 1u + 1u);
    EXPECT_EQ(s.tcp6 + s.udp6 + s.raw6 + s.frag6, 0u);
    EXPECT_FALSE(s.has_ipv6);
    EXPECT_EQ(s.tcp_closed(), -1);
}

TEST(SocketSummary, DamagedTextsFailWholeAndSayWhere) {
    struct Case {
        std::string sockstat, sockstat6, snmp, fault;
    };
    const std::string tcp = "sockstat: line \"TCP:\": ";
    const Case cases[] = {
        {"", sockstat6, snmp, "sockstat: empty"},
        {sockstat.substr(0, sockstat.size() - 4), sockstat6, snmp, "sockstat: cut short (no newline at its end)"},
        {with(sockstat, "TCP:", "TCPX:"), sockstat6, snmp, "sockstat: no \"TCP:\" line"},
        {sockstat + "RAW: inuse 1\n", sockstat6, snmp, "sockstat: \"RAW:\" line given twice"},
        {with(sockstat, "orphan 3", "orphan"), sockstat6, snmp, tcp + "its names and counts do not pair up"},
        {with(sockstat, " tw 4", " tws 4"), sockstat6, snmp, tcp + "no \"tw\""},
        {with(sockstat, "alloc 17", "alloc 1 alloc 7"), sockstat6, snmp, tcp + "\"alloc\" given twice"},
        {with(sockstat, "alloc 17", "alloc -17"), sockstat6, snmp, tcp + "\"alloc\" is not a count"},
        {sockstat, "\n", snmp, "sockstat6: no \"TCP6:\" line"},
        {sockstat, sockstat6, with(snmp, "Tcp: 1 -1 13 6666631\n", ""),
         "snmp: \"Tcp:\" lines: 2 expected (names, then values), 1 found"},
        {sockstat, sockstat6, with(snmp, " 13 ", " "),
         "snmp: \"Tcp:\" lines: the names and the values differ in number"},
        {sockstat, sockstat6, with(snmp, "CurrEstab", "Estab"), "snmp: \"Tcp:\" lines: no \"CurrEstab\""},
    };
    for (const Case& test : cases) {
        SocketSummary summary;
        summary.sockets_used = 99; // left as it was
        EXPECT_EQ(parse_socket_summary(test.sockstat, test.sockstat6, test.snmp, summary), test.fault);
        EXPECT_EQ(summary.sockets_used, 99u) << test.fault;
    }
}

} // namespace

// The rows a selection's dumps are counted to give: each table's own
// figures, TIME_WAIT with TCP's; what the texts lack counts nothing.
TEST(TableSizeEstimate, EachTableCountsItsOwnFigures) {
    const auto tables = [](std::initializer_list<std::pair<Protocol, Family>> kinds) {
        std::vector<TableRequest> requests;
        for (const auto& [protocol, family] : kinds) {
            TableRequest request;
            request.protocol = protocol;
            request.family = family;
            requests.push_back(request);
        }
        return requests;
    };
    const auto tcp4 = std::pair{Protocol::tcp, Family::ipv4}, tcp6 = std::pair{Protocol::tcp, Family::ipv6};
    const auto udp4 = std::pair{Protocol::udp, Family::ipv4}, udp6 = std::pair{Protocol::udp, Family::ipv6};
    EXPECT_EQ(estimated_rows(sockstat, sockstat6, tables({tcp4})), 6u + 4u);
    EXPECT_EQ(estimated_rows(sockstat, sockstat6, tables({tcp4, tcp6, udp4, udp6})), 10u + 11u + 5u + 8u);
    EXPECT_EQ(estimated_rows(sockstat, "", tables({tcp6, udp6})), 4u); // no IPv6: TIME_WAIT alone
    EXPECT_EQ(estimated_rows(with(sockstat, "tw 4", "tw x"), sockstat6, tables({tcp4})), 6u);
    EXPECT_EQ(estimated_rows("TCP:inuse 6\nTCPX: inuse 9\n", "", tables({tcp4})), 0u);
    EXPECT_EQ(estimated_rows("", "", tables({tcp4, udp4})), 0u);
}

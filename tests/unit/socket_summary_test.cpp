// SPDX-License-Identifier: MIT
// The kernel's socket counts (sockstat, sockstat6, snmp): every figure read
// from its own field, and every damaged text refused whole.
#include <gtest/gtest.h>
#include <string>

#include "core/socket_summary.h"

using namespace sockscope_detail;

namespace {

const std::string sockstat = "sockets: used 21\n"
                             "TCP: inuse 6 orphan 3 tw 4 alloc 17 mem 2\n"
                             "UDP: inuse 5 mem 1\n"
                             "UDPLITE: inuse 9\n"
                             "RAW: inuse 1\n"
                             "FRAG: inuse 2 memory 4096\n";
const std::string sockstat6 = "TCP6: inuse 7\n"
                              "UDP6: inuse 8\n"
                              "UDPLITE6: inuse 9\n"
                              "RAW6: inuse 11\n"
                              "FRAG6: inuse 12 memory 0\n";
const std::string snmp = "Ip: Forwarding DefaultTTL\n"
                         "Ip: 2 64\n"
                         "Tcp: RtoAlgorithm MaxConn ActiveOpens CurrEstab InSegs\n"
                         "Tcp: 1 -1 642076 13 6666631\n"
                         "Udp: InDatagrams NoPorts\n"
                         "Udp: 102 0\n";

// `text` with the first `from` replaced by `to`.
std::string with(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(SocketSummary, EveryFigureComesFromItsOwnField) {
    SocketSummary summary;
    ASSERT_EQ(parse_socket_summary(sockstat, sockstat6, snmp, summary), "");
    EXPECT_EQ(summary.sockets_used, 21u);
    EXPECT_EQ(summary.tcp4, 6u);
    EXPECT_EQ(summary.tcp6, 7u);
    EXPECT_EQ(summary.tcp_orphans, 3u);
    EXPECT_EQ(summary.tcp_time_wait, 4u);
    EXPECT_EQ(summary.tcp_allocated, 17u);
    EXPECT_EQ(summary.tcp_established, 13u);
    EXPECT_EQ(summary.tcp_total(), 17u + 4u);
    EXPECT_EQ(summary.tcp_closed(), 17 + 4 - (6 + 7));
    EXPECT_EQ(summary.udp4, 5u); // UDP-Lite is not UDP
    EXPECT_EQ(summary.udp6, 8u);
    EXPECT_EQ(summary.raw4, 1u);
    EXPECT_EQ(summary.raw6, 11u);
    EXPECT_EQ(summary.frag4, 2u);
    EXPECT_EQ(summary.frag6, 12u);
    EXPECT_TRUE(summary.has_ipv6);
}

TEST(SocketSummary, FieldsInAnyOrderWithOthersBetweenAndAKernelWithoutIpv6) {
    SocketSummary summary;
    const std::string reordered = "FRAG: memory 0 inuse 1\n"
                                  "TCP: mem 0 alloc 3 new 8 tw 0 orphan 0 inuse 2\n"
                                  "RAW: inuse 0\n"
                                  "UDP: inuse 4\n"
                                  "sockets: used 9\n";
    ASSERT_EQ(parse_socket_summary(reordered, std::nullopt, snmp, summary), "");
    EXPECT_EQ(summary.tcp4, 2u);
    EXPECT_EQ(summary.tcp_allocated, 3u);
    EXPECT_EQ(summary.udp4, 4u);
    EXPECT_EQ(summary.frag4, 1u);
    EXPECT_FALSE(summary.has_ipv6);
    EXPECT_EQ(summary.tcp6 + summary.udp6 + summary.raw6 + summary.frag6, 0u);
    // Counts the kernel's may disagree on give a negative figure, not a huge one.
    ASSERT_EQ(parse_socket_summary(with(sockstat, "alloc 17", "alloc 1"), sockstat6, snmp, summary), "");
    EXPECT_EQ(summary.tcp_closed(), 1 + 4 - (6 + 7));
}

TEST(SocketSummary, DamagedTextsFailWholeAndSayWhere) {
    struct Case {
        std::string sockstat, sockstat6, snmp, fault;
    };
    const Case cases[] = {
        {"", sockstat6, snmp, "sockstat: empty"},
        {sockstat.substr(0, sockstat.size() - 4), sockstat6, snmp, "sockstat: cut short (no newline at its end)"},
        {sockstat, sockstat6.substr(0, 20), snmp, "sockstat6: cut short (no newline at its end)"},
        {sockstat, sockstat6, snmp.substr(0, snmp.size() - 1), "snmp: cut short (no newline at its end)"},
        {with(sockstat, "TCP:", "TCPX:"), sockstat6, snmp, "sockstat: no \"TCP:\" line"},
        {sockstat + "RAW: inuse 1\n", sockstat6, snmp, "sockstat: \"RAW:\" line given twice"},
        {with(sockstat, "orphan 3", "orphan"), sockstat6, snmp,
         "sockstat: line \"TCP:\": its names and counts do not pair up"},
        {with(sockstat, " tw 4", " tws 4"), sockstat6, snmp, "sockstat: line \"TCP:\": no \"tw\""},
        {with(sockstat, "alloc 17", "alloc 1 alloc 7"), sockstat6, snmp,
         "sockstat: line \"TCP:\": \"alloc\" given twice"},
        {with(sockstat, "used 21", "used -21"), sockstat6, snmp,
         "sockstat: line \"sockets:\": \"used\" is not a count"},
        {with(sockstat, "used 21", "used 18446744073709551616"), sockstat6, snmp,
         "sockstat: line \"sockets:\": \"used\" is not a count"},
        {with(sockstat, "FRAG: inuse 2", "FRAG: inuse 0x2"), sockstat6, snmp,
         "sockstat: line \"FRAG:\": \"inuse\" is not a count"},
        {sockstat, with(sockstat6, "UDP6:", "UDP:"), snmp, "sockstat6: no \"UDP6:\" line"},
        {sockstat, "\n", snmp, "sockstat6: no \"TCP6:\" line"},
        {sockstat, sockstat6, with(snmp, "Tcp: 1 -1 642076 13 6666631\n", ""),
         "snmp: \"Tcp:\" lines: 2 expected (names, then values), 1 found"},
        {sockstat, sockstat6, with(snmp, "Tcp:", "TCP:"),
         "snmp: \"Tcp:\" lines: 2 expected (names, then values), 1 found"},
        {sockstat, sockstat6, "Ip: 1\nIp: 2\n", "snmp: no \"Tcp:\" lines"},
        {sockstat, sockstat6, with(snmp, " 13 ", " "),
         "snmp: \"Tcp:\" lines: the names and the values differ in number"},
        {sockstat, sockstat6, with(snmp, "CurrEstab", "Estab"), "snmp: \"Tcp:\" lines: no \"CurrEstab\""},
        {sockstat, sockstat6, with(snmp, " 13 ", " -13 "), "snmp: \"Tcp:\" lines: \"CurrEstab\" is not a count"},
    };
    for (const Case& test : cases) {
        SocketSummary summary;
        summary.sockets_used = 99; // left as it was
        EXPECT_EQ(parse_socket_summary(test.sockstat, test.sockstat6, test.snmp, summary), test.fault);
        EXPECT_EQ(summary.sockets_used, 99u) << test.fault;
    }
}

} // namespace

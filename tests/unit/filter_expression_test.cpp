// SPDX-License-Identifier: MIT
// Filter expressions on rows made by hand: what each passes, the shape of
// the program the kernel is sent for it, and where bad ones go wrong.
#include <arpa/inet.h>
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <string>
#include <vector>

#include "core/filter_bytecode.h"
#include "core/filter_expression.h"
#include "support/table_rows.h"

using namespace sockscope_detail;
using sockscope_test::ipv4;
using sockscope_test::tcp_row;

namespace {

Address ipv6(const char* text) {
    Address address{};
    inet_pton(AF_INET6, text, address.data());
    return address;
}

SocketRow row6(const char* local, unsigned local_port, const char* remote, unsigned remote_port, unsigned state) {
    SocketRow row = tcp_row(ipv6(local), local_port, ipv6(remote), remote_port, state, 0);
    row.family = Family::ipv6;
    return row;
}

const SocketRow rows[] = {
    tcp_row(ipv4(127, 0, 0, 1), 80, {}, 0, 10, 0),                          // 0 LISTEN
    tcp_row(ipv4(10, 1, 2, 3), 443, ipv4(192, 168, 0, 9), 50000, 1, 0),     // 1 ESTABLISHED
    row6("::1", 8080, "::1", 40000, 1),                                     // 2 ESTABLISHED
    row6("::ffff:10.1.2.3", 22, "::ffff:127.0.0.1", 33000, 6),              // 3 TIME_WAIT
    row6("fe80::1", 22, "::", 0, 10),                                       // 4 LISTEN
};

bool services(const std::string& name, std::uint16_t& port) {
    port = 22;
    return name == "ssh";
}

// Whether `program` is shaped as the kernel's checker wants it: each op's
// `yes` its own length, so that the road of successes meets every op, and
// every jump forward, aligned, to an op on that road, the end, or just
// past it. (What the kernel makes of it: the live SocketTable tests.)
bool well_formed(const std::vector<unsigned char>& program) {
    std::vector<std::size_t> ops;
    for (std::size_t at = 0; at < program.size(); at += program[at + 1]) {
        ops.push_back(at);
        const std::size_t hostcond = program[at] == INET_DIAG_BC_S_COND || program[at] == INET_DIAG_BC_D_COND
                                         ? 4 + 8 + (program[at + 4] == AF_INET ? 4 : program[at + 4] == AF_INET6 ? 16 : 0)
                                         : 0;
        const std::size_t size = hostcond != 0 ? hostcond : program[at] == INET_DIAG_BC_JMP ? 4 : 8;
        if (program[at + 1] != size || at + size > program.size()) return false;
    }
    for (const std::size_t at : ops) {
        inet_diag_bc_op op;
        std::memcpy(&op, program.data() + at, sizeof op);
        const std::size_t to = at + op.no;
        const bool on_road = std::find(ops.begin(), ops.end(), to) != ops.end();
        if (op.no < 4 || op.no % 4 != 0 || (to < program.size() && !on_road) || to > program.size() + 4) return false;
    }
    return true;
}

TEST(FilterExpression, EachPassesItsRowsAndMakesAProgramTheKernelTakes) {
    const struct {
        const char* text;
        const char* passing; // indices into rows
    } cases[] = {
        {"", "0 1 2 3 4"}, {"sport = :80", "0"},
        {"sport == 80", "0"}, {"dport eq :50000", "1"},
        {"sport != :80", "1 2 3 4"}, {"sport < :443", "0 3 4"},
        {"sport lt 443", "0 3 4"}, {"sport <= :443", "0 1 3 4"},
        {"sport > :443", "2"}, {"sport ge :8080", "2"},
        {"dport >= :40000", "1 2"}, {"sport :22", "3 4"},
        {"sport = :ssh", "3 4"}, {"src 10.1.2.3", "1 3"},
        {"src 10.0.0.0/8", "1 3"}, {"src 10.1/16", "1 3"},
        {"dst = 192.168.0.9:50000", "1"}, {"dst 127.0.0.1", "3"},
        {"src [::1]", "2"}, {"src [::1]:8080", "2"},
        {"src ::1", "2"}, {"src [fe80::/10]", "4"},
        {"src [fe80::]/10:22", "4"}, {"dst *:40000", "2"},
        {"dst :40000", "2"}, {"src *", "0 1 2 3 4"},
        {"dst [::]", "4"}, {"dst 0.0.0.0", "0"},
        {"src != 127.0.0.1", "1 2 3 4"}, {"sport = :80 or sport = :443", "0 1"},
        {"sport = :22 dport = :33000", "3"}, {"sport = :22 and not src [fe80::1]", "3"},
        {"! sport = :22", "0 1 2"}, {"sport = :80 or sport = :22 and dst 127.0.0.1", "0 3"},
        {"(sport = :80 or sport = :22) && dst 127.0.0.1", "3"}, {"sport = :80 | ! ( sport < :1000 )", "0 2"},
        {"not not sport = :80", "0"}, {"state listening", "0 4"},
        {"state connected", "1 2 3"}, {"state bucket", "3"},
        {"state big", "0 1 2 4"}, {"exclude listening", "1 2 3"},
        {"state established state time-wait", "1 2 3"}, {"state synchronized exclude established", "3"},
        {"state established exclude established", ""}, // (ss falls back to its default states)
        {"state established dport = :40000", "2"},
    };
    for (const auto& c : cases) {
        const ExpressionParse parse = parse_filter_expression(c.text, services);
        ASSERT_EQ(parse.error, nullptr) << c.text << ": " << parse.error;
        const std::uint16_t ports[] = {22, 80};
        EXPECT_TRUE(well_formed(filter_program(ports, &parse.expression))) << c.text;
        std::string passing;
        for (std::size_t i = 0; i < std::size(rows); ++i)
            if (parse.expression.matches(rows[i]) && (parse.expression.states & 1u << rows[i].state) != 0)
                passing += (passing.empty() ? "" : " ") + std::to_string(i);
        EXPECT_EQ(passing, c.passing) << c.text;
    }
}

// Nothing to test, or too long for a netlink attribute: the kernel is
// sent no program.
TEST(FilterExpression, NoProgramWhenNoneIsNeededOrFits) {
    EXPECT_TRUE(filter_program({}, nullptr).empty());
    const ExpressionParse wildcard = parse_filter_expression("src *");
    EXPECT_TRUE(filter_program({}, &wildcard.expression).empty());
    const std::vector<std::uint16_t> many(6000, 80);
    EXPECT_TRUE(filter_program(many, nullptr).empty());
}

TEST(FilterExpression, BadOnesSayWhereAndWhy) {
    const std::string deep(65, '(');
    const struct {
        std::string text;
        std::size_t position;
        const char* reason;
    } cases[] = {
        {"dport = :44x", 8, "not a port number"}, {"sport = :70000", 8, "not a port number"},
        {"sport = :http", 8, "service name"}, {"sport =", 7, "a port expected"},
        {"sport = (", 8, "a port expected"}, {"src 10.0.0.300", 4, "not an address"},
        {"src 443", 4, "not an address"}, {"src 10.0.0.0/33", 4, "not a prefix length"},
        {"src [::1", 4, "']' missing"}, {"src [::1]x", 4, "':' and a port"},
        {"src 10.0.0.1:x y", 4, "service name"}, {"src < 10.0.0.1", 4, "= or != only"},
        {"( sport = :80", 13, "')' expected"}, {"sport = :80 )", 12, "')' without '('"},
        {"sport = :80 or", 14, "ends too early"}, {"sport = :80 and and", 16, "sport, dport, src, dst"},
        {"foo", 0, "sport, dport, src, dst"}, {"state establish", 6, "not a state"},
        {"exclude", 7, "not a state"}, {"sport = :80 state listening", 12, "come before"},
        {deep, 64, "nested too deeply"},
    };
    for (const auto& c : cases) {
        const ExpressionParse parse = parse_filter_expression(c.text, services);
        ASSERT_NE(parse.error, nullptr) << c.text;
        EXPECT_EQ(parse.position, c.position) << c.text << ": " << parse.error;
        EXPECT_NE(std::strstr(parse.error, c.reason), nullptr) << c.text << ": " << parse.error;
    }
}

} // namespace

// SPDX-License-Identifier: MIT
// sockscope --summary: its text, and the built tool held against `ss -s`
// on the live machine.
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "summary_output.h"
#include "support/loopback_sockets.h"
#include "support/ss_view.h"
#include "support/tool_run.h"

using namespace sockscope_test;

namespace {

TEST(ToolSummary, TextOfAKernelWithoutIpv6) {
    sockscope_tool::NamespaceSummary summary; // netns 0: not known
    summary.counts = {40, 6, 0, 1, 2, 20, 5, 3, 0, 1, 0, 0, 0, false};
    std::string text;
    sockscope_tool::append_summary_text(text, summary);
    EXPECT_EQ(text, "Sockets: 40 (every family) in this network namespace\n"
                    "TCP:     22 in all*: 5 established, 16 closed*, 1 orphaned*, 2 in TIME_WAIT\n\n"
                    "Transport  Total  IPv4  IPv6\n"
                    "RAW            1     1     -\n"
                    "UDP            3     3     -\n"
                    "TCP            6     6     -\n"
                    "INET          10    10     -\n"
                    "FRAG           0     0     -\n\n"
                    "* of the whole machine's TCP sockets, not this namespace's alone\n");
}

using Figures = std::map<std::string, std::int64_t>;

// The TCP and UDP figures of `ss -s`: its TCP line, and its table's TCP
// and UDP rows (total, IPv4, IPv6), named as the tool's JSON names them.
Figures ss_figures() {
    Figures figures;
    const std::regex tcp_line(R"(^TCP:\s+(\d+) \(estab (\d+), closed (-?\d+), orphaned (\d+), timewait (\d+))");
    const std::regex row(R"(^(TCP|UDP)\s+(\d+)\s+(\d+)\s+(\d+)\s*$)");
    std::istringstream lines(command_output("ss -s"));
    std::smatch found;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_search(line, found, tcp_line)) {
            for (int i = 0; const char* name : {"tcp_total", "tcp_established", "tcp_closed", "tcp_orphaned",
                                                "tcp_time_wait"})
                figures[name] = std::stoll(found[++i]);
        } else if (std::regex_search(line, found, row)) {
            for (int i = 1; const char* family : {"total", "ipv4", "ipv6"})
                figures[(found[1] == "TCP" ? "tcp." : "udp.") + std::string(family)] = std::stoll(found[++i]);
        }
    }
    return figures;
}

// The same figures of the tool's --json.
Figures tool_figures(const std::string& output) {
    Figures figures;
    const std::optional<JsonValue> object = parse_json(output);
    if (!object) return figures;
    for (const auto& [key, value] : object->members) {
        if (value.integer()) figures[key] = *value.integer();
        if (key != "tcp" && key != "udp") continue;
        for (const auto& [family, count] : value.members) figures[key + "." + family] = count.integer().value_or(-1);
    }
    return figures;
}

// The machine is shared: other processes open and close sockets between
// any two readings, and some TCP figures (total, closed, orphaned) count
// every namespace's sockets. So each figure of the tool is held against
// ss's readings just before and just after it, and must equal them when
// they agree (nothing changed meanwhile); a figure that moved is read
// again, a bounded number of times.
TEST(ToolSummary, GivesTheFiguresSsGivesAtTheSameMoment) {
    const TestSocket listener = TestSocket::tcp_listener("127.0.0.1");
    const TestSocket client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const TestSocket server = TestSocket::accept_from(listener);
    const TestSocket listener6 = TestSocket::tcp6_listener("::1", true);
    const TestSocket udp = TestSocket::udp_socket("127.0.0.1");
    const TestSocket udp6 = TestSocket::udp6_socket("::1");

    std::map<std::string, std::string> unsettled; // each figure not yet seen equal, with its last readings
    for (const auto& [key, value] : ss_figures()) unsettled[key] = "never read";
    ASSERT_EQ(unsettled.size(), 11u) << command_output("ss -s");
    for (int attempt = 0; attempt < 20 && !unsettled.empty(); ++attempt) {
        const Figures before = ss_figures();
        const ProgramResult run = run_tool({"-s", "--json"});
        const Figures after = ss_figures();
        ASSERT_EQ(run.exit_code, 0) << run.err;
        const Figures tool = tool_figures(run.out);
        // The sockets held here are counted.
        for (const char* held : {"tcp.ipv4", "tcp.ipv6", "udp.ipv4", "udp.ipv6", "tcp_established"})
            ASSERT_GE(tool.count(held) ? tool.at(held) : 0, 1) << held << " in " << run.out;
        for (auto figure = unsettled.begin(); figure != unsettled.end();) {
            const std::string& key = figure->first;
            if (before.at(key) == after.at(key) && tool.at(key) == before.at(key)) {
                figure = unsettled.erase(figure);
                continue;
            }
            figure->second = "ss " + std::to_string(before.at(key)) + ", sockscope " + std::to_string(tool.at(key)) +
                             ", ss " + std::to_string(after.at(key));
            ++figure;
        }
    }
    for (const auto& [key, readings] : unsettled) ADD_FAILURE() << key << ": " << readings;
    // -A says what the figures cover.
    EXPECT_EQ(run_tool({"-sA"}).err, "sockscope: note: the summary stays with this process's network namespace: "
                                     "the kernel keeps its socket counts per namespace\n");
}

} // namespace

// SPDX-License-Identifier: MIT
// sockscope --summary: the counts read from a prepared /proc, their text
// and JSON, and the built tool held against `ss -s` on the live machine.
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "summary_output.h"
#include "support/json_reader.h"
#include "support/loopback_sockets.h"
#include "support/ss_view.h"
#include "support/tool_run.h"

using namespace sockscope_test;
using namespace sockscope_tool;

namespace {

const std::string sockstat = "sockets: used 40\n"
                             "TCP: inuse 6 orphan 1 tw 2 alloc 20 mem 3\n"
                             "UDP: inuse 3 mem 1\n"
                             "UDPLITE: inuse 0\n"
                             "RAW: inuse 1\n"
                             "FRAG: inuse 0 memory 0\n";
const std::string sockstat6 = "TCP6: inuse 7\nUDP6: inuse 2\nUDPLITE6: inuse 0\nRAW6: inuse 0\nFRAG6: inuse 0 memory 0\n";
const std::string snmp = "Tcp: RtoAlgorithm MaxConn CurrEstab\nTcp: 1 -1 5\n";

// A /proc of a few files in a folder of its own, removed afterwards.
class PreparedProc {
public:
    PreparedProc() {
        char pattern[] = "/tmp/sockscope-summary-XXXXXX";
        if (mkdtemp(pattern) != nullptr) root_ = pattern;
        std::filesystem::create_directories(root_ + "/net");
        std::filesystem::create_directories(root_ + "/self/ns");
    }
    ~PreparedProc() { std::filesystem::remove_all(root_); }
    PreparedProc(const PreparedProc&) = delete;
    PreparedProc& operator=(const PreparedProc&) = delete;

    void write(const std::string& path, const std::string& text) const {
        std::ofstream(root_ + "/" + path, std::ios::binary) << text;
    }
    void link(const std::string& path, const std::string& target) const {
        std::filesystem::create_symlink(target, root_ + "/" + path);
    }
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

std::int64_t member(const JsonValue& object, const char* key, const char* inner = nullptr) {
    const JsonValue* value = object.member(key);
    if (value != nullptr && inner != nullptr) value = value->member(inner);
    EXPECT_TRUE(value != nullptr && value->integer()) << key << (inner ? inner : "");
    return value != nullptr && value->integer() ? *value->integer() : -1;
}

TEST(ToolSummary, ReadFromProcAsTextAndJson) {
    PreparedProc proc;
    proc.write("net/sockstat", sockstat);
    proc.write("net/sockstat6", sockstat6);
    proc.write("net/snmp", snmp);
    proc.link("self/ns/net", "net:[4026532000]");
    NamespaceSummary summary;
    const SummaryFailure failure = read_summary(proc.root().c_str(), summary);
    ASSERT_EQ(failure.what, "");
    std::string text;
    append_summary_text(text, summary);
    EXPECT_EQ(text, "Sockets: 40 (every family) in network namespace 4026532000\n"
                    "TCP:     22 in all*: 5 established, 9 closed*, 1 orphaned*, 2 in TIME_WAIT\n"
                    "\n"
                    "Transport  Total  IPv4  IPv6\n"
                    "RAW            1     1     0\n"
                    "UDP            5     3     2\n"
                    "TCP           13     6     7\n"
                    "INET          19    10     9\n"
                    "FRAG           0     0     0\n"
                    "\n"
                    "* of the whole machine's TCP sockets, not this namespace's alone\n");
    std::string json;
    append_summary_json(json, summary);
    ASSERT_EQ(json.back(), '\n');
    const std::optional<JsonValue> object = parse_json(json);
    ASSERT_TRUE(object && object->is(JsonValue::Kind::object)) << json;
    EXPECT_EQ(member(*object, "netns"), 4026532000);
    EXPECT_EQ(member(*object, "sockets"), 40);
    EXPECT_EQ(member(*object, "tcp_closed"), 9);
    EXPECT_EQ(member(*object, "inet", "total"), 19);
    EXPECT_EQ(member(*object, "udp", "ipv6"), 2);
    EXPECT_EQ(member(*object, "tcp_total"), 22);
    EXPECT_EQ(object->members.size(), 13u);
}

TEST(ToolSummary, NoIpv6NoNamespaceLinkAndUnreadableOrDamagedFiles) {
    struct Case {
        bool sockstat6, snmp, netns;
        std::string sockstat, what; // what: after the root; "" for success
        int error;
    };
    const Case cases[] = {
        {false, true, false, sockstat, "", 0},
        {true, false, true, sockstat, "cannot read {}/net/snmp", ENOENT},
        {true, true, true, sockstat.substr(0, 30), "{}/net/sockstat: cut short (no newline at its end)", 0},
        {true, true, true, sockstat + "TCP: inuse 1\n", "{}/net/sockstat: \"TCP:\" line given twice", 0},
    };
    for (const Case& test : cases) {
        PreparedProc proc;
        proc.write("net/sockstat", test.sockstat);
        if (test.sockstat6) proc.write("net/sockstat6", sockstat6);
        if (test.snmp) proc.write("net/snmp", snmp);
        if (test.netns) proc.link("self/ns/net", "net:[4026532000]");
        NamespaceSummary summary;
        summary.counts.sockets_used = 99; // left as it was on failure
        const SummaryFailure failure = read_summary(proc.root().c_str(), summary);
        EXPECT_EQ(failure.what, std::regex_replace(test.what, std::regex("\\{\\}"), proc.root()));
        EXPECT_EQ(failure.error, test.error) << test.what;
        if (!test.what.empty()) {
            EXPECT_EQ(summary.counts.sockets_used, 99u) << test.what;
            continue;
        }
        std::string text, json;
        append_summary_text(text, summary);
        append_summary_json(json, summary);
        EXPECT_NE(text.find(" in this network namespace\n"), std::string::npos) << text;
        EXPECT_NE(text.find("\nTCP            6     6     -\n"), std::string::npos) << text;
        const std::optional<JsonValue> object = parse_json(json);
        ASSERT_TRUE(object) << json;
        EXPECT_TRUE(object->member("netns")->is(JsonValue::Kind::null));
        EXPECT_TRUE(object->member("tcp")->member("ipv6")->is(JsonValue::Kind::null));
        EXPECT_EQ(member(*object, "tcp", "total"), 6);
    }
}

using Figures = std::map<std::string, std::int64_t>;

// The TCP and UDP figures of `ss -s`: its TCP line, and its table's TCP
// and UDP rows (total, IPv4, IPv6).
Figures ss_figures(const std::string& output) {
    Figures figures;
    const std::regex tcp_line(R"(^TCP:\s+(\d+) \(estab (\d+), closed (-?\d+), orphaned (\d+), timewait (\d+))");
    const std::regex row(R"(^(TCP|UDP)\s+(\d+)\s+(\d+)\s+(\d+)\s*$)");
    std::istringstream lines(output);
    std::smatch found;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_search(line, found, tcp_line)) {
            const char* names[] = {"tcp_total", "tcp_established", "tcp_closed", "tcp_orphaned", "tcp_time_wait"};
            for (std::size_t i = 0; i < std::size(names); ++i) figures[names[i]] = std::stoll(found[i + 1]);
        } else if (std::regex_search(line, found, row)) {
            const std::string name = found[1] == "TCP" ? "tcp" : "udp";
            figures[name + ".total"] = std::stoll(found[2]);
            figures[name + ".ipv4"] = std::stoll(found[3]);
            figures[name + ".ipv6"] = std::stoll(found[4]);
        }
    }
    return figures;
}

// The same figures of the tool's --json.
Figures tool_figures(const std::string& output) {
    Figures figures;
    const std::optional<JsonValue> object = parse_json(output);
    if (!object) return figures;
    for (const char* key : {"tcp_total", "tcp_established", "tcp_closed", "tcp_orphaned", "tcp_time_wait"})
        figures[key] = member(*object, key);
    for (const char* transport : {"tcp", "udp"})
        for (const char* family : {"total", "ipv4", "ipv6"})
            figures[std::string(transport) + "." + family] = member(*object, transport, family);
    return figures;
}

// The machine is shared: other processes open and close sockets between
// any two readings, and some of the TCP figures (total, closed, orphaned)
// count the sockets of every namespace. So each figure of the tool
// is held against ss's readings just before and just after it, and must
// equal them when they agree (nothing changed meanwhile); a figure that
// moved is read again, a bounded number of times.
TEST(ToolSummary, GivesTheFiguresSsGivesAtTheSameMoment) {
    const TestSocket listener = TestSocket::tcp_listener("127.0.0.1");
    const TestSocket client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const TestSocket server = TestSocket::accept_from(listener);
    const TestSocket listener6 = TestSocket::tcp6_listener("::1", true);
    const TestSocket udp = TestSocket::udp_socket("127.0.0.1");
    const TestSocket udp6 = TestSocket::udp6_socket("::1");

    std::map<std::string, std::string> unsettled; // the figures not yet seen equal, with their last readings
    for (const auto& [key, value] : ss_figures(command_output("ss -s"))) unsettled[key] = "never read";
    ASSERT_EQ(unsettled.size(), 11u) << command_output("ss -s");
    for (int attempt = 0; attempt < 20 && !unsettled.empty(); ++attempt) {
        const Figures before = ss_figures(command_output("ss -s"));
        const ProgramResult run = run_tool({"-s", "--json"});
        const Figures after = ss_figures(command_output("ss -s"));
        ASSERT_EQ(run.exit_code, 0) << run.err;
        ASSERT_EQ(run.err, "");
        const Figures tool = tool_figures(run.out);
        // The sockets held here are counted.
        ASSERT_GE(tool.at("tcp.ipv4"), 3);
        ASSERT_GE(tool.at("tcp.ipv6"), 1);
        ASSERT_GE(tool.at("udp.ipv4"), 1);
        ASSERT_GE(tool.at("udp.ipv6"), 1);
        ASSERT_GE(tool.at("tcp_established"), 2);
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
}

TEST(ToolSummary, TheBuiltToolSaysWhatAllNamespacesMeanAndRefusesTableOptions) {
    const ProgramResult all = run_tool({"-sA"});
    EXPECT_EQ(all.exit_code, 0);
    EXPECT_EQ(all.err, "sockscope: note: the summary stays with this process's network namespace: the kernel keeps "
                       "its socket counts per namespace\n");
    EXPECT_EQ(all.out.rfind("Sockets: ", 0), 0u) << all.out;
    const ProgramResult port = run_tool({"--summary", "--port", "22"});
    EXPECT_EQ(port.exit_code, 2);
    EXPECT_EQ(port.err.rfind("sockscope: --port makes no sense with --summary (it counts every socket)\n", 0), 0u)
        << port.err;
}

} // namespace

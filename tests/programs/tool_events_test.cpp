// SPDX-License-Identifier: MIT
// sockscope --events against real connections: named peer processes make
// them on loopback while the tool runs, and each must show once with its
// owner and side, as a line and as JSON, filtered, ended cleanly by
// SIGINT. Skipped where the kernel can't run the stream's programs.
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <map>
#include <optional>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/child_process.h"
#include "support/connection_stream_checks.h"
#include "support/loopback_sockets.h"
#include "support/network_namespaces.h"
#include "support/tool_run.h"

using namespace sockscope_test;
using namespace std::chrono_literals;

namespace {

const std::string tool = SOCKSCOPE_TOOL;

#define SKIP_OR_EXPECT_PASS(check)                                                                                     \
    do {                                                                                                               \
        const std::string fault_ = (check);                                                                            \
        if (fault_.rfind("skip:", 0) == 0) GTEST_SKIP() << fault_;                                                     \
        ASSERT_EQ(fault_, "");                                                                                         \
    } while (0)

// A table of followed sockets with room for every TCP socket open on the
// machine and as many new ones: with the default size, a machine busy
// with other connections would leave the tests' without owners.
std::string tracked_for_this_machine() {
    std::size_t sockets = 0;
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream table(path);
        for (std::string line; std::getline(table, line);) ++sockets;
    }
    return std::to_string(std::clamp<std::size_t>(2 * sockets + 4096, 32768, 4194304));
}

// A connection to `listener` from this process, accepted and closed at
// once with a reset on the connecting side; returns the client's port.
unsigned reset_connection(const TestSocket& listener) {
    const TestSocket client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const TestSocket server = TestSocket::accept_from(listener);
    const linger abort_on_close{1, 0};
    setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    return client.port();
}

// Runs `body` in a thread that entered the network namespace /run/netns/NAME.
void in_namespace(const std::string& name, const std::function<void()>& body) {
    std::thread([&] {
        const int ns = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns >= 0 && setns(ns, CLONE_NEWNET) == 0) body();
        if (ns >= 0) close(ns);
    }).join();
}

// `sockscope --events ARGUMENTS` in the background. ready() returns once
// it prints connections: it calls `poke` (which makes one) until `marker`
// shows, and says "skip: ..." when the stream can't open on this machine.
class EventsRun {
public:
    EventsRun(std::vector<std::string> arguments, std::function<void()> poke, std::string marker)
        : poke_(std::move(poke)), marker_(std::move(marker)) {
        arguments.insert(arguments.begin(), {"--events", "--tracked", tracked_for_this_machine()});
        RunOptions options = tool_options(std::move(arguments));
        options.timeout = 60s;
        program_.emplace(tool, options);
    }
    // Pokes with connections to `canary`, whose port the arguments must let
    // through.
    EventsRun(std::vector<std::string> arguments, const TestSocket& canary)
        : EventsRun(arguments, [&canary] { reset_connection(canary); },
                    std::find(arguments.begin(), arguments.end(), "--json") != arguments.end()
                        ? "_port\":" + std::to_string(canary.port()) + ","
                        : "127.0.0.1:" + std::to_string(canary.port()) + " ") {}
    std::string ready() {
        for (int attempt = 0; attempt < 50; ++attempt) {
            poke_();
            if (program_->wait_for_output(marker_, 1, 200ms)) return "";
        }
        program_->signal(SIGINT);
        const ProgramResult result = program_->finish();
        if (result.err.find("needs libbpf.so.1") != std::string::npos) return "skip: no libbpf.so.1 or no kernel BTF";
        if (result.err.find("needs CAP_BPF") != std::string::npos) return "skip: the kernel refuses the programs";
        return "no connection shown; stderr: " + result.err;
    }
    // Ends it with SIGINT, expecting status 0 and the summary alone on
    // stderr (and what --debug and a full table add), and returns its
    // output.
    std::string finish() {
        program_->signal(SIGINT);
        const ProgramResult result = program_->finish();
        EXPECT_EQ(result.exit_code, 0) << result.err;
        static const std::regex summary(
            R"(sockscope: \d+ connections? seen, \d+ lost; \d+ records?: \d+ written, \d+ read and not written, \d+ left in the kernel's buffer)");
        const auto lines = lines_of(result.err);
        EXPECT_TRUE(!lines.empty() && std::regex_match(lines.back(), summary)) << result.err;
        return result.out;
    }
    RunningProgram& program() { return *program_; }

private:
    std::function<void()> poke_;
    std::string marker_;
    std::optional<RunningProgram> program_;
};

// A server and a client, processes of the given names, the client making
// `count` connections to the server over 127.0.0.1, one after another,
// each sending "hello".
struct Peers {
    Peers(const std::string& server_name, const std::string& client_name, unsigned count)
        : server(connection_peer_named(server_name), {"serve", "127.0.0.1", std::to_string(count)}),
          port(server.ports().at(0)),
          client(connection_peer_named(client_name), {"connect", "127.0.0.1", std::to_string(port), std::to_string(count)}) {}
    ChildProcess server;
    unsigned port;
    ChildProcess client;
};

std::string owner_field(pid_t pid, const std::string& escaped_name) { return std::to_string(pid) + "/" + escaped_name; }

TEST(ToolEvents, EachConnectionIsOneLinePerSideWithItsOwner) {
    constexpr unsigned count = 5;
    const TestSocket canary = TestSocket::tcp_listener("127.0.0.1");
    EventsRun run({}, canary);
    SKIP_OR_EXPECT_PASS(run.ready());
    const std::string server_name = unique_name("events-server-"), client_name = unique_name("events-client-");
    const Peers peers(server_name, client_name, count);
    const std::string server_end = "127.0.0.1:" + std::to_string(peers.port);
    ASSERT_TRUE(run.program().wait_for_output(server_end + " ", 2 * count, 10s)) << run.program().output_so_far();
    const std::string out = run.finish();

    // Client ports seen from each side: each connection once per side.
    std::map<std::string, int> connected, accepted;
    for (const auto& line : lines_with(out, server_end + " ")) {
        const auto fields = fields_of(line);
        ASSERT_EQ(fields.size(), 10u) << line;
        EXPECT_TRUE(std::regex_match(fields[0], std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d)"))) << line;
        EXPECT_EQ(fields[5], "normal") << line;
        EXPECT_NE(fields[6], "-") << line;
        if (fields[2] == "connect") {
            EXPECT_EQ(fields[1], owner_field(peers.client.pid(), client_name)) << line;
            EXPECT_EQ(fields[4], server_end) << line;
            EXPECT_EQ(fields[7], "5") << line; // "hello": payload, without the SYN and FIN
            EXPECT_EQ(fields[9], "SYN_SENT>ESTAB>FIN_WAIT1>FIN_WAIT2>CLOSE") << line;
            ++connected[fields[3]];
        } else {
            EXPECT_EQ(fields[2], "accept") << line;
            EXPECT_EQ(fields[1], owner_field(peers.server.pid(), server_name)) << line;
            EXPECT_EQ(fields[3], server_end) << line;
            EXPECT_EQ(fields[9].rfind("SYN_RECV>ESTAB>", 0), 0u) << line;
            ++accepted[fields[4]];
        }
    }
    EXPECT_EQ(connected.size(), count);
    EXPECT_EQ(connected, accepted);
    for (const auto& [end, times] : connected) EXPECT_EQ(times, 1) << end;
}

// A name with control characters and a byte that is no UTF-8 (which the
// library's texts carry as U+FFFD), longer than the kernel's 15-byte comm:
// escaped in a line, exact in JSON. Two runs at once, one of each, see the
// same connection.
TEST(ToolEvents, JsonHasEveryFieldAndAHostileNameIsEscapedInLines) {
    const std::string unique = unique_name("c");
    const std::string client_name = "ev\x1b[2J\t\xff\n" + unique;
    const std::string escaped = "ev\\033[2J\\011\xef\xbf\xbd\\012" + unique;
    const std::string as_utf8 = "ev\x1b[2J\t\xef\xbf\xbd\n" + unique;
    const TestSocket canary = TestSocket::tcp_listener("127.0.0.1");
    EventsRun json({"--json"}, canary), lines({}, canary);
    SKIP_OR_EXPECT_PASS(json.ready());
    SKIP_OR_EXPECT_PASS(lines.ready());
    Peers peers(unique_name("events-server-"), client_name, 1);
    const std::string port = std::to_string(peers.port);
    ASSERT_TRUE(json.program().wait_for_output("\"remote_port\":" + port + ",", 1, 10s));
    ASSERT_TRUE(lines.program().wait_for_output("127.0.0.1:" + port + " ", 2, 10s));
    const pid_t client = peers.client.pid();
    const std::string json_out = json.finish(), lines_out = lines.finish();

    int records = 0;
    for (const auto& line : lines_of(json_out)) {
        const auto row = parse_json(line);
        ASSERT_TRUE(row) << line; // every record, the machine's others too
        // Another process may connect to the same port at another address.
        if (number(*row, "remote_port") != peers.port || text(*row, "remote_address") != "127.0.0.1" ||
            text(*row, "side") != "connect")
            continue;
        ++records;
        std::vector<std::string> keys;
        for (const auto& member : row->members) keys.push_back(member.first);
        EXPECT_EQ(keys, (std::vector<std::string>{
                            "kind", "protocol", "family", "local_address", "local_port", "remote_address",
                            "remote_port", "netns", "netns_name", "cookie", "pid", "name", "comm", "cgroup",
                            "cgroup_id", "container", "user_container", "container_user", "side", "owner_source",
                            "end", "error", "states", "opened", "closed", "lifetime_ns", "bytes_sent",
                            "bytes_received", "closer_pid", "flags"}));
        EXPECT_EQ(text(*row, "kind"), "closed");
        EXPECT_EQ(text(*row, "protocol"), "tcp");
        EXPECT_EQ(text(*row, "family"), "ipv4");
        EXPECT_EQ(text(*row, "local_address"), "127.0.0.1");
        EXPECT_EQ(text(*row, "remote_address"), "127.0.0.1");
        EXPECT_EQ(static_cast<std::uint64_t>(number(*row, "netns")), namespace_inode("net"));
        EXPECT_GT(number(*row, "cookie"), 0);
        EXPECT_EQ(number(*row, "pid"), client);
        EXPECT_EQ(text(*row, "name"), as_utf8);
        EXPECT_EQ(text(*row, "comm"), as_utf8.substr(0, 17)); // 15 bytes, the one that is no UTF-8 taking 3
        EXPECT_EQ(text(*row, "cgroup").front(), '/');
        EXPECT_TRUE(is_null(*row, "container") && is_null(*row, "user_container") && is_null(*row, "container_user"));
        EXPECT_EQ(text(*row, "owner_source"), "connect");
        EXPECT_EQ(text(*row, "end"), "normal");
        EXPECT_TRUE(is_null(*row, "error"));
        std::vector<std::string> states;
        for (const auto& state : row->member("states")->array) states.push_back(state.utf8());
        EXPECT_EQ(states, (std::vector<std::string>{"CLOSE", "SYN_SENT", "ESTABLISHED", "FIN_WAIT1", "FIN_WAIT2", "CLOSE"}));
        const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
        EXPECT_TRUE(std::regex_match(text(*row, "opened"), utc) && std::regex_match(text(*row, "closed"), utc));
        EXPECT_GT(number(*row, "lifetime_ns"), 0);
        EXPECT_EQ(number(*row, "bytes_sent"), 5);
        EXPECT_EQ(number(*row, "closer_pid"), client);
        // Its close ended when the server's FIN came, in no call of its own.
        EXPECT_TRUE(row->member("flags")->is(JsonValue::Kind::array) && row->member("flags")->array.empty());
    }
    EXPECT_EQ(records, 1);

    int lines_of_it = 0;
    for (const auto& line : lines_with(lines_out, " connect 127.0.0.1:")) {
        if (line.find("127.0.0.1:" + port + " ") == std::string::npos) continue;
        ++lines_of_it;
        EXPECT_EQ(fields_of(line).at(1), owner_field(client, escaped)) << line;
    }
    EXPECT_EQ(lines_of_it, 1);
}

// A reader that stopped reading, then SIGTERM: the tool gives up writing
// after its second of grace, and its last line accounts for every record
// of the test's connections: written (what the reader then finds), read and
// not written, or left in the kernel's buffer.
TEST(ToolEvents, StoppedWhileItsOutputIsBlockedItAccountsForEveryRecord) {
    constexpr unsigned connections = 300;
    const TestSocket listener = TestSocket::tcp_listener("127.0.0.1");
    RunOptions options = tool_options({"--events", "--json", "--debug", "--port", std::to_string(listener.port())},
                                      Stdout::stalled_pipe);
    options.timeout = 60s;
    RunningProgram run(tool, options);
    // --debug names the hooks once the stream is open.
    for (int attempt = 0; attempt < 300 && run.errors_so_far().empty(); ++attempt) std::this_thread::sleep_for(100ms);
    if (run.errors_so_far().find("hooks:") == std::string::npos) {
        run.signal(SIGTERM);
        const std::string err = run.finish().err;
        if (err.find("needs") != std::string::npos) GTEST_SKIP() << "the stream can't open here: " << err;
        FAIL() << "no stream; stderr: " << err;
    }
    for (unsigned made = 0; made < connections; ++made) reset_connection(listener);
    std::this_thread::sleep_for(500ms); // every record in the kernel's buffer, most read by the tool
    run.signal(SIGTERM);
    const ProgramResult result = run.finish();
    EXPECT_EQ(result.exit_code, 0) << result.err;
    std::smatch counts;
    const std::string last = lines_of(result.err).empty() ? "" : lines_of(result.err).back();
    ASSERT_TRUE(std::regex_match(last, counts, std::regex(R"(sockscope: \d+ connections seen, (\d+) lost; (\d+) records: (\d+) written, (\d+) read and not written, (\d+) left in the kernel's buffer)")))
        << result.err;
    const auto count = [&](int i) { return std::stoul(counts[i].str()); };
    EXPECT_EQ(count(1), 0u);
    EXPECT_EQ(count(2), 2 * connections); // both ends of each connection
    EXPECT_EQ(count(2), count(3) + count(4) + count(5));
    EXPECT_EQ(count(3), static_cast<unsigned long>(std::count(result.out.begin(), result.out.end(), '\n')));
    EXPECT_GT(count(4) + count(5), 0u) << "the output never blocked";
}

// A listener has no peer: null in JSON, as the tables give it.
TEST(ToolEvents, AListenersPeerIsNullInJson) {
    std::optional<TestSocket> listener(TestSocket::tcp_listener("127.0.0.1"));
    const unsigned port = listener->port();
    EventsRun run({"--json", "--port", std::to_string(port)}, *listener);
    SKIP_OR_EXPECT_PASS(run.ready());
    listener.reset();
    ASSERT_TRUE(run.program().wait_for_output("\"side\":\"listen\"", 1, 10s)) << run.program().output_so_far();
    int listeners = 0;
    for (const auto& line : lines_of(run.finish())) {
        const auto row = parse_json(line);
        if (!row || text(*row, "side") != "listen" || number(*row, "local_port") != port) continue;
        ++listeners;
        EXPECT_TRUE(is_null(*row, "remote_address") && is_null(*row, "remote_port")) << line;
    }
    EXPECT_EQ(listeners, 1);
}

TEST(ToolEvents, PortFilterKeepsConnectionsWithThatPortAtEitherEnd) {
    const TestSocket wanted = TestSocket::tcp_listener("127.0.0.1"), other = TestSocket::tcp_listener("127.0.0.1");
    EventsRun run({"--port", std::to_string(wanted.port())}, wanted);
    SKIP_OR_EXPECT_PASS(run.ready());
    reset_connection(other);
    // Records come in order: once this last one shows, the other's would
    // have shown before it.
    std::optional<TestSocket> last = TestSocket::tcp_connection("127.0.0.1", wanted.port());
    const std::string last_end = "127.0.0.1:" + std::to_string(last->port()) + " ";
    { const TestSocket server = TestSocket::accept_from(wanted); }
    last.reset();
    ASSERT_TRUE(run.program().wait_for_output(last_end, 2, 10s)) << run.program().output_so_far();
    const std::string out = run.finish();
    const std::string wanted_port = ":" + std::to_string(wanted.port()) + " ";
    for (const auto& line : lines_of(out)) EXPECT_NE(line.find(wanted_port), std::string::npos) << line;
    EXPECT_TRUE(lines_with(out, ":" + std::to_string(other.port()) + " ").empty()) << out;
}

TEST(ToolEvents, OnlyTheCallersNamespaceUnlessAnotherOrEveryOneIsAsked) {
    const std::string name = unique_name("events-ns-");
    const NamedNamespace named(name, 0);
    if (!named.ready()) GTEST_SKIP() << "can't make a named network namespace";
    std::optional<TestSocket> inside;
    in_namespace(name, [&] { inside.emplace(TestSocket::tcp_listener("127.0.0.1")); });
    ASSERT_TRUE(inside);
    const auto poke_inside = [&] { in_namespace(name, [&] { reset_connection(*inside); }); };
    const std::string inside_end = "127.0.0.1:" + std::to_string(inside->port()) + " ";
    const TestSocket canary = TestSocket::tcp_listener("127.0.0.1");
    const std::string canary_end = "127.0.0.1:" + std::to_string(canary.port()) + " ";

    EventsRun in_named({"--netns", name}, poke_inside, inside_end), everywhere({"-A"}, poke_inside, inside_end);
    // As JSON, which names each record's namespace: here, other processes'
    // connections may have the inside listener's end.
    EventsRun own({"--json"}, canary);
    SKIP_OR_EXPECT_PASS(in_named.ready());
    SKIP_OR_EXPECT_PASS(everywhere.ready());
    SKIP_OR_EXPECT_PASS(own.ready());
    // Records come in order: once this last one shows in each run, any
    // made before it would have shown.
    poke_inside();
    const unsigned last_port = reset_connection(canary);
    ASSERT_TRUE(own.program().wait_for_output("_port\":" + std::to_string(last_port) + ",", 2, 10s));
    ASSERT_TRUE(everywhere.program().wait_for_output("127.0.0.1:" + std::to_string(last_port) + " ", 2, 10s));

    const std::string own_out = own.finish(), named_out = in_named.finish(), every_out = everywhere.finish();
    for (const auto& line : lines_of(own_out)) {
        const auto row = parse_json(line);
        ASSERT_TRUE(row) << line;
        EXPECT_NE(static_cast<std::uint64_t>(number(*row, "netns")), named.inode()) << line;
    }
    EXPECT_FALSE(lines_with(named_out, inside_end).empty());
    EXPECT_EQ(lines_with(named_out, inside_end).size(), lines_of(named_out).size()) << named_out;
    EXPECT_FALSE(lines_with(every_out, inside_end).empty());
    EXPECT_FALSE(lines_with(every_out, canary_end).empty());
}

TEST(ToolEvents, WithoutPrivilegeItSaysWhatItNeeds) {
    const std::string message = "sockscope: --events needs CAP_BPF and CAP_PERFMON, or CAP_SYS_ADMIN (root has them)\n";
    RunOptions as_nobody = tool_options({"--events"});
    as_nobody.user = 65534;
    RunOptions without_capabilities = tool_options({"--events"});
    without_capabilities.without_capabilities = {CAP_BPF, CAP_PERFMON, CAP_SYS_ADMIN};
    for (const RunOptions& options : {as_nobody, without_capabilities}) {
        const ProgramResult result = run_program(tool, options);
        if (result.err.find("needs libbpf.so.1") != std::string::npos) GTEST_SKIP() << result.err;
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(result.err, message);
        EXPECT_EQ(result.out, "");
    }
}

TEST(ToolEvents, OptionsThatMakeNoSenseWithItAreRefused) {
    for (const auto& option : {"-u", "-l", "-e", "--state=listen"}) {
        const ProgramResult result = run_tool({"--events", option});
        EXPECT_EQ(result.exit_code, 2) << option;
        EXPECT_EQ(lines_of(result.err).size(), 5u) << result.err; // the problem, the four usage lines
    }
    EXPECT_EQ(run_tool({"--watch", "1", "--events"}).exit_code, 2);
    EXPECT_EQ(run_tool({"--opens"}).exit_code, 2);
}

} // namespace

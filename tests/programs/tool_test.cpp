// SPDX-License-Identifier: MIT
// The built sockscope tool against real sockets: filters, JSON read back,
// a hostile name, the terminal table, --watch, failures and usage errors.
#include <algorithm>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/child_process.h"
#include "support/json_reader.h"
#include "support/loopback_sockets.h"
#include "support/program_run.h"

using namespace sockscope_test;

namespace {

const std::string tool = SOCKSCOPE_TOOL;

RunOptions with(std::vector<std::string> arguments, Stdout output = Stdout::file) {
    RunOptions options;
    options.arguments = std::move(arguments);
    options.set_environment = {{"LC_ALL", "C.UTF-8"}};
    options.output = output;
    return options;
}

const std::vector<std::string> schema = {"protocol",    "family",         "local_address", "local_port", "remote_address",
                                         "remote_port", "state",          "pid",           "name"};

// Every line of --json output, parsed and checked against the schema.
std::vector<JsonValue> json_rows(const std::string& output) {
    std::vector<JsonValue> rows;
    for (const auto& line : lines_of(output)) {
        std::string error;
        auto value = parse_json(line, &error);
        EXPECT_TRUE(value.has_value()) << error << ": " << line;
        if (!value) continue;
        EXPECT_TRUE(value->is(JsonValue::Kind::object));
        std::vector<std::string> keys;
        for (const auto& member : value->members) keys.push_back(member.first);
        EXPECT_EQ(keys, schema) << line;
        using K = JsonValue::Kind;
        const auto kind_of = [&](const char* key) { return value->member(key) ? value->member(key)->kind : K::null; };
        const bool tcp = value->member("protocol") && value->member("protocol")->utf8() == "tcp";
        EXPECT_TRUE(tcp || value->member("protocol")->utf8() == "udp") << line;
        const std::string family = value->member("family")->utf8();
        EXPECT_TRUE(family == "ipv4" || family == "ipv6") << line;
        EXPECT_EQ(kind_of("local_address"), K::string) << line;
        EXPECT_EQ(kind_of("local_port"), K::number) << line;
        EXPECT_EQ(kind_of("remote_address"), tcp ? K::string : K::null) << line;
        EXPECT_EQ(kind_of("remote_port"), tcp ? K::number : K::null) << line;
        EXPECT_EQ(kind_of("state"), tcp ? K::string : K::null) << line;
        EXPECT_TRUE(kind_of("pid") == K::number || kind_of("pid") == K::null) << line;
        EXPECT_TRUE(kind_of("name") == K::string || kind_of("name") == K::null) << line;
        rows.push_back(std::move(*value));
    }
    return rows;
}

std::int64_t number(const JsonValue& row, const char* key) { return row.member(key)->integer().value_or(-1); }
std::string text(const JsonValue& row, const char* key) { return row.member(key)->utf8(); }

// A child holding a TCP listener and a UDP socket, a connection to it from
// this process (which the child never accepts), all on 127.0.0.1.
struct Scene {
    std::string name = unique_name("ssq");
    ChildProcess child{test_child_named(name), {"tcp-listen", "127.0.0.1", "udp-bind", "127.0.0.1"}};
    unsigned tcp_port = child.ports().at(0), udp_port = child.ports().at(1);
    TestSocket client = TestSocket::tcp_connection("127.0.0.1", tcp_port);
};

std::vector<JsonValue> run_json(std::vector<std::string> arguments) {
    arguments.push_back("--json");
    const auto run = run_program(tool, with(arguments));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    return json_rows(run.out);
}

// Whether either end of `row` is 127.0.0.1:`port`.
bool touches(const JsonValue& row, unsigned port) {
    return (text(row, "local_address") == "127.0.0.1" && number(row, "local_port") == port) ||
           (row.member("remote_address")->utf8() == "127.0.0.1" && number(row, "remote_port") == port);
}

// The rows that belong to `scene`: its listener and the server end, which
// sit on the listener's own end, and its client end. A row that only has
// the listener's port as its remote one can be another test's connection
// that ended in TIME_WAIT before the scene took the port number.
bool in_scene(const JsonValue& row, const Scene& scene) {
    const bool local_is_listener = text(row, "local_address") == "127.0.0.1" && number(row, "local_port") == scene.tcp_port;
    const bool local_is_client =
        text(row, "local_address") == "127.0.0.1" && number(row, "local_port") == scene.client.port();
    return local_is_listener || (local_is_client && touches(row, scene.tcp_port));
}

std::size_t count_if(const std::vector<JsonValue>& rows, const std::function<bool(const JsonValue&)>& test) {
    return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), test));
}

TEST(Tool, JsonRowsCarryEveryFieldOfTheSockets) {
    Scene scene;
    const std::int64_t child = scene.child.pid(), self = getpid();
    const auto rows = run_json({"--port", std::to_string(scene.tcp_port)});
    // The listener, this process's end of the connection, and the child's
    // end, waiting to be accepted, so that no process holds it.
    int listener = 0, client = 0, server = 0;
    for (const auto& row : rows) {
        EXPECT_EQ(text(row, "protocol"), "tcp");
        if (!in_scene(row, scene)) continue;
        EXPECT_EQ(text(row, "local_address"), "127.0.0.1");
        if (text(row, "state") == "LISTEN") {
            ++listener;
            EXPECT_EQ(number(row, "local_port"), scene.tcp_port);
            EXPECT_EQ(text(row, "remote_address"), "0.0.0.0");
            EXPECT_EQ(number(row, "remote_port"), 0);
            EXPECT_EQ(number(row, "pid"), child);
            EXPECT_EQ(text(row, "name"), scene.name);
        } else if (number(row, "pid") == self) {
            ++client;
            EXPECT_EQ(text(row, "state"), "ESTABLISH");
            EXPECT_EQ(number(row, "local_port"), scene.client.port());
            EXPECT_EQ(text(row, "remote_address"), "127.0.0.1");
            EXPECT_EQ(number(row, "remote_port"), scene.tcp_port);
        } else {
            ++server;
            EXPECT_EQ(text(row, "state"), "ESTABLISH");
            EXPECT_EQ(number(row, "local_port"), scene.tcp_port);
            EXPECT_EQ(number(row, "remote_port"), scene.client.port());
            EXPECT_TRUE(row.member("pid")->is(JsonValue::Kind::null));
            EXPECT_TRUE(row.member("name")->is(JsonValue::Kind::null));
        }
    }
    EXPECT_EQ(listener, 1);
    EXPECT_EQ(client, 1);
    EXPECT_EQ(server, 1);

    const auto udp = run_json({"-u", "--port", std::to_string(scene.udp_port), "--pid", std::to_string(child)});
    ASSERT_EQ(udp.size(), 1u);
    EXPECT_EQ(text(udp[0], "protocol"), "udp");
    EXPECT_EQ(text(udp[0], "local_address"), "127.0.0.1");
    EXPECT_EQ(number(udp[0], "local_port"), scene.udp_port);
    EXPECT_EQ(number(udp[0], "pid"), child);
    EXPECT_EQ(text(udp[0], "name"), scene.name);
}

TEST(Tool, EachFilterKeepsOnlyWhatItNames) {
    Scene scene;
    const std::int64_t child = scene.child.pid();
    const auto is_tcp = [](const JsonValue& row) { return text(row, "protocol") == "tcp"; };
    const auto is_udp = [](const JsonValue& row) { return text(row, "protocol") == "udp"; };
    // --pid: TCP by default, UDP with -u, both with -tu.
    auto rows = run_json({"--pid", std::to_string(child)});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(text(rows[0], "state"), "LISTEN");
    rows = run_json({"-u", "--pid", std::to_string(child)});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(is_udp(rows[0]));
    rows = run_json({"-tu", "--pid", std::to_string(child)});
    EXPECT_EQ(count_if(rows, is_tcp), 1u);
    EXPECT_EQ(count_if(rows, is_udp), 1u);
    // --name: exactly that name.
    rows = run_json({"-tu", "--name", scene.name});
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& row : rows) EXPECT_EQ(number(row, "pid"), child);
    EXPECT_TRUE(run_json({"-tu", "--name", scene.name.substr(0, scene.name.size() - 1)}).empty());
    // --port: local or remote, so both ends of the connection.
    const unsigned client_port = scene.client.port();
    rows = run_json({"--port", std::to_string(client_port)});
    for (const auto& row : rows)
        EXPECT_TRUE(number(row, "local_port") == client_port || number(row, "remote_port") == client_port);
    EXPECT_EQ(count_if(rows, [&](const JsonValue& row) { return touches(row, client_port) && touches(row, scene.tcp_port); }), 2u);
    // -l: listeners only.
    rows = run_json({"-l", "--port", std::to_string(scene.tcp_port)});
    EXPECT_EQ(count_if(rows, [&](const JsonValue& row) { return number(row, "pid") == child; }), 1u);
    for (const auto& row : run_json({"-l"})) EXPECT_EQ(text(row, "state"), "LISTEN");
    // -u alone: UDP only; -4: the IPv4 tables.
    rows = run_json({"-u"});
    EXPECT_EQ(count_if(rows, is_udp), rows.size());
    rows = run_json({"-4", "-tu"});
    for (const auto& row : rows) EXPECT_EQ(text(row, "family"), "ipv4");
    EXPECT_EQ(count_if(rows, [&](const JsonValue& row) { return number(row, "pid") == child; }), 2u);
}

TEST(Tool, AHostileNameIsEscapedInTextAndExactInJson) {
    // As the listing's hostile name, with format characters that reorder or
    // break what follows (U+202E, U+2066, U+200F, U+2028).
    const std::string name = "evil name\t\\x\x1b[2J\x01\x7f\xc2\x9b\u202E\u2066\u200F\u2028\n"
                             "tcp 127.0.0.1 22 0.0.0.0 0 LISTEN 1 sshd";
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1"});
    const std::string pid = std::to_string(child.pid());
    const std::string escaped = "evil\\040name\\011\\134x\\033[2J\\001\\177\\302\\233"
                                "\\342\\200\\256\\342\\201\\246\\342\\200\\217\\342\\200\\250"
                                "\\012tcp\\040127.0.0.1\\04022\\0400.0.0.0\\0400\\040LISTEN\\0401\\040sshd";

    const auto piped = run_program(tool, with({"--pid", pid}));
    EXPECT_EQ(piped.exit_code, 0);
    EXPECT_EQ(piped.out, "tcp 127.0.0.1 " + std::to_string(child.ports().at(0)) + " 0.0.0.0 0 LISTEN " + pid + " " +
                             escaped + "\n");

    const auto table = run_program(tool, with({"--pid", pid}, Stdout::terminal));
    EXPECT_EQ(table.exit_code, 0);
    const auto lines = lines_of(table.out);
    ASSERT_EQ(lines.size(), 2u) << table.out;
    EXPECT_EQ(lines[1].substr(lines[1].size() - escaped.size() - 2), "  " + escaped);

    const auto json = run_program(tool, with({"--pid", pid, "--json"}));
    const auto rows = json_rows(json.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(text(rows[0], "name"), name);
    EXPECT_NE(json.out.find("\\u009b\\u202e\\u2066\\u200f\\u2028\\n"), std::string::npos) << json.out;
    for (const auto* output : {&piped.out, &table.out, &json.out})
        EXPECT_TRUE(std::none_of(output->begin(), output->end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return (byte < 0x20 && byte != '\n') || byte == 0x7F;
        }));
}

TEST(Tool, OnATerminalPrintsAnAlignedTableWithAHeader) {
    const std::string name = unique_name("a-name-longer-than-fifteen-bytes-");
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1"});
    const auto run = run_program(tool, with({"-l"}, Stdout::terminal));
    EXPECT_EQ(run.exit_code, 0);
    const auto lines = lines_of(run.out);
    ASSERT_GE(lines.size(), 2u);
    const std::string& header = lines[0];
    EXPECT_EQ(header.rfind("Proto  Local Address", 0), 0u) << header;
    const std::string pid = std::to_string(child.pid());
    const auto row = lines_with(run.out, " " + pid + "  " + name);
    ASSERT_EQ(row.size(), 1u) << run.out;
    // Columns line up: the name starts where the header's "Name" does.
    EXPECT_EQ(row[0].find(name), header.find("Name"));
    EXPECT_EQ(row[0].find(" LISTEN ") + 1, header.find("State"));
}

TEST(Tool, WatchRedrawsUntilSigtermOrSigintAndEndsCleanly) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const std::string port = std::to_string(listener.port());
    {
        RunningProgram watch(tool, with({"--watch", "0.1", "-l", "--port", port}));
        EXPECT_TRUE(watch.wait_for_output(" LISTEN ", 3, std::chrono::seconds(20)));
        watch.signal(SIGTERM);
        const auto run = watch.finish();
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.err, "");
        // Tables one after another, each one line here, an empty line between.
        const auto lines = lines_of(run.out);
        ASSERT_GE(lines.size(), 5u);
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].empty(), i % 2 == 1) << i << ": " << lines[i];
    }
    {
        RunningProgram watch(tool, with({"--watch", "0.1", "-l", "--port", port}, Stdout::terminal));
        EXPECT_TRUE(watch.wait_for_output("\033[H", 3, std::chrono::seconds(20)));
        watch.signal(SIGINT);
        const auto run = watch.finish();
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_NE(run.out.find("sockscope: every 0.1 s"), std::string::npos);
        EXPECT_NE(run.out.find("\033[J"), std::string::npos);
    }
}

TEST(Tool, BadCommandLinesExitTwoWithAUsageLine) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--bogus"}, {"-x"}, {"--port", "0"}, {"--watch", "0"}, {"stray"}, {"--pid"}}) {
        const auto run = run_program(tool, with(arguments));
        EXPECT_EQ(run.exit_code, 2) << arguments[0];
        EXPECT_EQ(run.out, "");
        const auto lines = lines_of(run.err);
        ASSERT_EQ(lines.size(), 2u) << run.err;
        EXPECT_EQ(lines[0].rfind("sockscope: ", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1].rfind("usage: sockscope ", 0), 0u) << lines[1];
    }
}

TEST(Tool, HelpAndVersionExitZero) {
    const auto help = run_program(tool, with({"--help"}));
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out.rfind("Usage: sockscope", 0), 0u);
    EXPECT_EQ(help.err, "");
    const auto version = run_program(tool, with({"--version"}));
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, std::string("sockscope ") + SOCKSCOPE_VERSION_TEXT + "\n");
}

TEST(Tool, FamiliesAreChosenWithFourAndSix) {
    const auto v4 = TestSocket::tcp_listener("127.0.0.1");
    const auto v6 = TestSocket::tcp6_listener("::1", true);
    const auto ports_of = [](const std::string& out) {
        std::vector<std::pair<std::string, std::string>> seen; // family, "address port"
        for (const auto& row : json_rows(out))
            seen.emplace_back(text(row, "family"), text(row, "local_address") + " " + std::to_string(number(row, "local_port")));
        return seen;
    };
    const auto has = [](const auto& seen, const std::string& family, const std::string& endpoint) {
        return std::find(seen.begin(), seen.end(), std::make_pair(family, endpoint)) != seen.end();
    };
    const std::string v4_endpoint = "127.0.0.1 " + std::to_string(v4.port());
    const std::string v6_endpoint = "::1 " + std::to_string(v6.port());

    const auto only6 = run_program(tool, with({"-6", "--json"}));
    EXPECT_EQ(only6.exit_code, 0);
    for (const auto& row : json_rows(only6.out)) EXPECT_EQ(text(row, "family"), "ipv6");
    EXPECT_TRUE(has(ports_of(only6.out), "ipv6", v6_endpoint));

    const auto only4 = run_program(tool, with({"-4", "--json"}));
    EXPECT_FALSE(has(ports_of(only4.out), "ipv6", v6_endpoint));
    EXPECT_TRUE(has(ports_of(only4.out), "ipv4", v4_endpoint));

    const auto both = ports_of(run_program(tool, with({"--json"})).out);
    EXPECT_TRUE(has(both, "ipv4", v4_endpoint));
    EXPECT_TRUE(has(both, "ipv6", v6_endpoint));
}

TEST(Tool, FailuresEndWithStatusOneAndOneLine) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    RunOptions full = with({});
    full.set_environment = {{"LC_ALL", "C"}};
    full.output = Stdout::dev_full;
    auto run = run_program(tool, full);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "sockscope: cannot write the output: No space left on device\n");

    RunOptions failing = with({"-u"});
    failing.set_environment = {{"LC_ALL", "C"}, {"LD_LIBRARY_PATH", SOCKSCOPE_FAILING_LIBRARY_DIR}};
    run = run_program(tool, failing);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "sockscope: cannot read the UDP table: Cannot allocate memory\n");
}

// The note is keyed on what the caller may read: a user other than root,
// and root without CAP_SYS_PTRACE, can't see into root's processes.
TEST(Tool, ACallerWhoMayNotInspectOthersIsToldThatOwnersAreHidden) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hold a socket another user can't see into";
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const std::string note =
        "sockscope: note: without CAP_SYS_PTRACE (root has it), sockets of processes this user may not inspect show "
        "no owner\n";
    const std::string line = "tcp 127.0.0.1 " + std::to_string(listener.port()) + " 0.0.0.0 0 LISTEN - -";
    RunOptions as_nobody = with({"-l", "--port", std::to_string(listener.port())});
    as_nobody.user = 65534;
    RunOptions root_without_ptrace = with({"-l", "--port", std::to_string(listener.port())});
    root_without_ptrace.without_capabilities = {CAP_SYS_PTRACE};
    // A build folder under a directory closed to other users (mktemp -d
    // makes them 0700) can't be reached by nobody: exec fails with 127.
    RunOptions version = with({"--version"});
    version.user = 65534;
    const bool nobody_runs_it = run_program(tool, version).exit_code != 127;
    for (const RunOptions* restricted : {&as_nobody, &root_without_ptrace}) {
        if (restricted == &as_nobody && !nobody_runs_it) continue;
        const auto run = run_program(tool, *restricted);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.err, note);
        EXPECT_EQ(lines_with(run.out, line).size(), 1u) << run.out;
    }
    // Root sees the owner and gets no note.
    const auto as_root = run_program(tool, with({"-l", "--port", std::to_string(listener.port())}));
    EXPECT_EQ(as_root.err, "");
    EXPECT_NE(as_root.out.find(" LISTEN " + std::to_string(getpid()) + " "), std::string::npos);
    if (!nobody_runs_it) GTEST_SKIP() << "user nobody cannot run " << tool << ": a folder above it is closed to other users";
}

} // namespace

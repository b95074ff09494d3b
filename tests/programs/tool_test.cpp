// SPDX-License-Identifier: MIT
// The built sockscope tool against real sockets: filters, JSON read back,
// a hostile name, the terminal table, --watch, failures and usage errors.
#include <algorithm>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/socket.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/child_process.h"
#include "support/loopback_sockets.h"
#include "support/tool_run.h"

using namespace sockscope_test;

namespace {

const std::string tool = SOCKSCOPE_TOOL;

// A child holding a TCP listener and a UDP socket, a connection to it from
// this process (which the child never accepts), all on 127.0.0.1.
struct Scene {
    std::string name = unique_name("ssq");
    ChildProcess child{test_child_named(name), {"tcp-listen", "127.0.0.1", "udp-bind", "127.0.0.1"}};
    unsigned tcp_port = child.ports().at(0), udp_port = child.ports().at(1);
    TestSocket client = TestSocket::tcp_connection("127.0.0.1", tcp_port);
};

// Whether either end of `row` is 127.0.0.1:`port`.
bool touches(const JsonValue& row, unsigned port) {
    return (text(row, "local_address") == "127.0.0.1" && number(row, "local_port") == port) ||
           (text(row, "remote_address") == "127.0.0.1" && number(row, "remote_port") == port);
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
        EXPECT_EQ(number(row, "uid"), static_cast<std::int64_t>(geteuid()));
        EXPECT_TRUE(is_null(row, "interface"));
        if (text(row, "state") == "LISTEN") {
            ++listener;
            EXPECT_EQ(number(row, "local_port"), scene.tcp_port);
            EXPECT_TRUE(is_null(row, "remote_address") && is_null(row, "remote_port"));
            EXPECT_EQ(owners_of(row), std::vector<std::string>{std::to_string(child) + "/" + scene.name});
            EXPECT_EQ(text(row.member("owners")->array.at(0), "comm"), scene.name.substr(0, 15));
            EXPECT_GT(number(row, "inode"), 0);
        } else if (owners_of(row).size() == 1 && number(row.member("owners")->array[0], "pid") == self) {
            ++client;
            EXPECT_EQ(text(row, "state"), "ESTABLISHED");
            EXPECT_EQ(number(row, "local_port"), scene.client.port());
            EXPECT_EQ(text(row, "remote_address"), "127.0.0.1");
            EXPECT_EQ(number(row, "remote_port"), scene.tcp_port);
            EXPECT_EQ(number(row.member("owners")->array[0], "fd"), scene.client.fd());
        } else {
            ++server;
            EXPECT_EQ(text(row, "state"), "ESTABLISHED");
            EXPECT_EQ(number(row, "local_port"), scene.tcp_port);
            EXPECT_EQ(number(row, "remote_port"), scene.client.port());
            EXPECT_TRUE(owners_of(row).empty());
            EXPECT_TRUE(is_null(row, "inode"));
        }
    }
    EXPECT_EQ(listener, 1);
    EXPECT_EQ(client, 1);
    EXPECT_EQ(server, 1);

    const auto udp = run_json({"-u", "--port", std::to_string(scene.udp_port), "--pid", std::to_string(child)});
    ASSERT_EQ(udp.size(), 1u);
    EXPECT_EQ(text(udp[0], "protocol"), "udp");
    EXPECT_EQ(text(udp[0], "state"), "UNCONN");
    EXPECT_EQ(text(udp[0], "local_address"), "127.0.0.1");
    EXPECT_EQ(number(udp[0], "local_port"), scene.udp_port);
    EXPECT_EQ(owners_of(udp[0]), std::vector<std::string>{std::to_string(child) + "/" + scene.name});
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
    for (const auto& row : rows) EXPECT_EQ(owners_of(row), std::vector<std::string>{std::to_string(child) + "/" + scene.name});
    EXPECT_TRUE(run_json({"-tu", "--name", scene.name.substr(0, scene.name.size() - 1)}).empty());
    // --port: local or remote, so both ends of the connection.
    const unsigned client_port = scene.client.port();
    rows = run_json({"--port", std::to_string(client_port)});
    for (const auto& row : rows)
        EXPECT_TRUE(number(row, "local_port") == client_port || number(row, "remote_port") == client_port);
    EXPECT_EQ(count_if(rows, [&](const JsonValue& row) { return touches(row, client_port) && touches(row, scene.tcp_port); }), 2u);
    // -l: listeners only; for UDP, the unconnected sockets. Another process
    // may listen on the same port at another address.
    rows = run_json({"-l", "--port", std::to_string(scene.tcp_port)});
    EXPECT_EQ(count_if(rows, [&](const JsonValue& row) { return in_scene(row, scene) && owners_of(row).size() == 1; }), 1u);
    for (const auto& row : run_json({"-l"})) EXPECT_EQ(text(row, "state"), "LISTEN");
    for (const auto& row : run_json({"-lu"})) EXPECT_EQ(text(row, "state"), "UNCONN");
    // -u alone: UDP only; -4: the IPv4 tables.
    rows = run_json({"-u"});
    EXPECT_EQ(count_if(rows, is_udp), rows.size());
    rows = run_json({"-4", "-tu"});
    for (const auto& row : rows) EXPECT_EQ(text(row, "family"), "ipv4");
    EXPECT_EQ(count_if(rows, [&](const JsonValue& row) { return !owners_of(row).empty() && owners_of(row)[0].rfind(std::to_string(child) + "/", 0) == 0; }), 2u);
}

TEST(Tool, AHostileNameIsEscapedInTextAndExactInJson) {
    // As the listing's hostile name, with format characters that reorder or
    // break what follows (U+202E, U+2066, U+200F, U+2028), and the comma
    // that separates holders.
    const std::string name = "evil name\t\\x\x1b[2J\x01\x7f\xc2\x9b\u202E\u2066\u200F\u2028,12\n"
                             "tcp 127.0.0.1 22 0.0.0.0 0 LISTEN 1 sshd";
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1"});
    const std::string pid = std::to_string(child.pid());
    const std::string escaped = "evil\\040name\\011\\134x\\033[2J\\001\\177\\302\\233"
                                "\\342\\200\\256\\342\\201\\246\\342\\200\\217\\342\\200\\250\\05412"
                                "\\012tcp\\040127.0.0.1\\04022\\0400.0.0.0\\0400\\040LISTEN\\0401\\040sshd";

    const auto piped = run_tool({"--pid", pid});
    EXPECT_EQ(piped.exit_code, 0);
    const auto lines = lines_of(piped.out);
    ASSERT_EQ(lines.size(), 1u) << piped.out;
    const auto fields = fields_of(lines[0]);
    ASSERT_EQ(fields.size(), 10u) << lines[0];
    EXPECT_EQ(fields[field::local_port], std::to_string(child.ports().at(0)));
    EXPECT_EQ(fields[field::owners], pid + "/" + escaped);

    // Wide enough for the whole name: a narrower table would cut it.
    const auto table = run_tool_on_terminal({"--pid", pid}, 400);
    EXPECT_EQ(table.exit_code, 0);
    const auto rows = lines_of(table.out);
    ASSERT_EQ(rows.size(), 2u) << table.out;
    EXPECT_EQ(rows[1].substr(rows[1].size() - escaped.size() - pid.size() - 3), "  " + pid + "/" + escaped);

    const auto json = run_tool({"--pid", pid, "--json"});
    const auto objects = json_rows(json.out);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(owners_of(objects[0]), std::vector<std::string>{pid + "/" + name});
    EXPECT_NE(json.out.find("\\u009b\\u202e\\u2066\\u200f\\u2028,12\\n"), std::string::npos) << json.out;
    for (const auto* output : {&piped.out, &table.out, &json.out})
        EXPECT_TRUE(std::none_of(output->begin(), output->end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return (byte < 0x20 && byte != '\n') || byte == 0x7F;
        }));
}

TEST(Tool, OnATerminalPrintsAnAlignedTableWithAHeader) {
    const std::string name = unique_name("a-name-longer-than-fifteen-bytes-");
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1"});
    const auto run = run_tool({"-l"}, Stdout::terminal);
    EXPECT_EQ(run.exit_code, 0);
    const auto lines = lines_of(run.out);
    ASSERT_GE(lines.size(), 2u);
    const std::string& header = lines[0];
    EXPECT_EQ(header.rfind("Proto  Recv-Q  Send-Q  Local Address", 0), 0u) << header;
    const std::string owner = std::to_string(child.pid()) + "/" + name;
    const auto row = lines_with(run.out, "  " + owner);
    ASSERT_EQ(row.size(), 1u) << run.out;
    // Columns line up: the owner starts where the header's "PID/Name"
    // does, the state under "State", the backlog ends under "Send-Q".
    EXPECT_EQ(row[0].find(owner), header.find("PID/Name"));
    EXPECT_EQ(row[0].find(" LISTEN ") + 1, header.find("State"));
    EXPECT_EQ(row[0].find(" 16 ") + 3, header.find("Send-Q") + 6);
}

TEST(Tool, WatchRedrawsUntilSigtermOrSigintAndEndsCleanly) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const std::string port = std::to_string(listener.port()), self = std::to_string(getpid());
    // Tables of this process's listener alone: another process may listen on
    // the same port at another address.
    {
        RunningProgram watch(tool, tool_options({"--watch", "0.1", "-l", "--port", port, "--pid", self}));
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
        RunningProgram watch(tool, tool_options({"--watch", "0.1", "-l", "--port", port, "--pid", self}, Stdout::terminal));
        EXPECT_TRUE(watch.wait_for_output("\033[H", 3, std::chrono::seconds(20)));
        watch.signal(SIGINT);
        const auto run = watch.finish();
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_NE(run.out.find("sockscope: every 0.1 s"), std::string::npos);
        EXPECT_NE(run.out.find("\033[J"), std::string::npos);
    }
    {
        // As JSON, each table starts with its time and size.
        RunningProgram watch(tool, tool_options({"--watch", "0.1", "-l", "--port", port, "--pid", self, "--json"}));
        EXPECT_TRUE(watch.wait_for_output("{\"time\":", 3, std::chrono::seconds(20)));
        watch.signal(SIGTERM);
        const auto run = watch.finish();
        EXPECT_EQ(run.exit_code, 0);
        const auto lines = lines_of(run.out);
        ASSERT_GE(lines.size(), 6u);
        for (std::size_t i = 0; i + 1 < lines.size(); i += 2) {
            const auto time = parse_json(lines[i]);
            ASSERT_TRUE(time && time->members.size() == 2) << lines[i];
            EXPECT_EQ(time->members[0].first, "time");
            const std::string stamp = time->members[0].second.utf8(); // 2026-01-31T12:34:56.789Z
            EXPECT_TRUE(stamp.size() == 24 && stamp[10] == 'T' && stamp[19] == '.' && stamp.back() == 'Z') << stamp;
            EXPECT_EQ(time->members[1].first, "sockets");
            EXPECT_EQ(time->members[1].second.number, "1");
            EXPECT_EQ(json_rows(lines[i + 1]).size(), 1u);
        }
    }
}

TEST(Tool, BadCommandLinesExitTwoWithAUsageLine) {
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"--bogus"}, {"-x"}, {"--port", "0"}, {"--watch", "0"}, {"--pid"}, {"--state", "open"}}) {
        const auto run = run_tool(arguments);
        EXPECT_EQ(run.exit_code, 2) << arguments[0];
        EXPECT_EQ(run.out, "");
        const auto lines = lines_of(run.err);
        ASSERT_EQ(lines.size(), 5u) << run.err;
        EXPECT_EQ(lines[0].rfind("sockscope: ", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1].rfind("usage: sockscope ", 0), 0u) << lines[1];
        EXPECT_EQ(lines[2].rfind("       sockscope -s ", 0), 0u) << lines[2];
        EXPECT_EQ(lines[3].rfind("       sockscope --events ", 0), 0u) << lines[3];
        EXPECT_EQ(lines[4].rfind("       sockscope --top ", 0), 0u) << lines[4];
    }
}

TEST(Tool, HelpAndVersionExitZero) {
    const auto help = run_tool({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out.rfind("Usage: sockscope", 0), 0u);
    EXPECT_EQ(help.err, "");
    for (const auto& line : lines_of(help.out)) EXPECT_LE(line.size(), 80u) << line;
    const auto version = run_tool({"--version"});
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

    const auto only6 = run_tool({"-6", "--json"});
    EXPECT_EQ(only6.exit_code, 0);
    for (const auto& row : json_rows(only6.out)) EXPECT_EQ(text(row, "family"), "ipv6");
    EXPECT_TRUE(has(ports_of(only6.out), "ipv6", v6_endpoint));

    const auto only4 = run_tool({"-4", "--json"});
    EXPECT_FALSE(has(ports_of(only4.out), "ipv6", v6_endpoint));
    EXPECT_TRUE(has(ports_of(only4.out), "ipv4", v4_endpoint));

    const auto both = ports_of(run_tool({"--json"}).out);
    EXPECT_TRUE(has(both, "ipv4", v4_endpoint));
    EXPECT_TRUE(has(both, "ipv6", v6_endpoint));
}

TEST(Tool, FailuresEndWithStatusOneAndOneLine) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    RunOptions full = tool_options({"-l", "--port", std::to_string(listener.port())});
    full.set_environment = {{"LC_ALL", "C"}};
    full.output = Stdout::dev_full;
    auto run = run_program(tool, full);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "sockscope: cannot write the output: No space left on device\n");

    RunOptions failing = tool_options({"-u"});
    failing.set_environment = {{"LC_ALL", "C"}, {"LD_LIBRARY_PATH", SOCKSCOPE_FAILING_LIBRARY_DIR}};
    run = run_program(tool, failing);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "sockscope: cannot read the socket tables: Cannot allocate memory\n");
}

// The note is keyed on what the library could read: a user other than
// root, and root without CAP_SYS_PTRACE, can't see into root's processes,
// so the listener shows no owner, and the note says why.
TEST(Tool, ACallerWhoMayNotInspectOthersIsToldThatOwnersAreHidden) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hold a socket another user can't see into";
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const std::string port = std::to_string(listener.port());
    RunOptions as_nobody = tool_options({"-l", "--port", port});
    as_nobody.user = 65534;
    RunOptions root_without_ptrace = tool_options({"-l", "--port", port});
    root_without_ptrace.without_capabilities = {CAP_SYS_PTRACE};
    // A build folder under a directory closed to other users (mktemp -d
    // makes them 0700) can't be reached by nobody: exec fails with 127.
    RunOptions version = tool_options({"--version"});
    version.user = 65534;
    const bool nobody_runs_it = run_program(tool, version).exit_code != 127;
    for (const RunOptions* restricted : {&as_nobody, &root_without_ptrace}) {
        if (restricted == &as_nobody && !nobody_runs_it) continue;
        const auto run = run_program(tool, *restricted);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        const auto note = lines_of(run.err);
        ASSERT_EQ(note.size(), 1u) << run.err;
        EXPECT_EQ(note[0].rfind("sockscope: note: ", 0), 0u) << note[0];
        EXPECT_NE(note[0].find(" could not be inspected, so "), std::string::npos) << note[0];
        EXPECT_NE(note[0].find(" show no owner (inspecting another user's process takes CAP_SYS_PTRACE, which root has)"),
                  std::string::npos) << note[0];
        const auto rows = lines_at(run.out, "127.0.0.1", listener.port());
        ASSERT_EQ(rows.size(), 1u) << run.out;
        EXPECT_EQ(rows[0][field::state], "LISTEN");
        EXPECT_EQ(rows[0][field::owners], "-");
    }
    // Root sees the owner and gets no note.
    const auto as_root = run_tool({"-l", "--port", port});
    EXPECT_EQ(as_root.err, "");
    const auto rows = lines_at(as_root.out, "127.0.0.1", listener.port());
    ASSERT_EQ(rows.size(), 1u) << as_root.out;
    EXPECT_EQ(rows[0][field::owners].rfind(std::to_string(getpid()) + "/", 0), 0u);
    if (!nobody_runs_it) GTEST_SKIP() << "user nobody cannot run " << tool << ": a folder above it is closed to other users";
}

// A run that holds CAP_SYS_PTRACE and is refused all the same (here in a
// user namespace of its own, over processes outside it) is not told that
// it lacks the capability.
TEST(Tool, ARunRefusedDespiteCapSysPtraceIsNotToldItLacksIt) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to hold a socket another user namespace can't see into";
    const std::string unshare = "/usr/bin/unshare";
    if (access(unshare.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << unshare << " to run the tool in a user namespace";
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto run = run_program(unshare, tool_options({"--user", "--map-root-user", tool, "-l", "--port",
                                                        std::to_string(listener.port())}));
    if (run.exit_code != 0 && run.err.rfind("unshare: ", 0) == 0) GTEST_SKIP() << "no user namespaces here: " << run.err;
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const auto note = lines_with(run.err, " could not be inspected, so ");
    ASSERT_EQ(note.size(), 1u) << run.err;
    EXPECT_NE(note[0].find(" show no owner (they refused even this run, which has CAP_SYS_PTRACE)"), std::string::npos)
        << note[0];
}

// -i, -o, -m: each socket's details as JSON members, at the end of each
// piped line, and on a line of its own under each row of the table.
TEST(Tool, DetailsFollowEachSocketInEveryForm) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    ASSERT_EQ(send(client.fd(), "data", 4, 0), 4);
    const std::string port = std::to_string(listener.port());

    // The test's sockets: a connection of an earlier run in TIME_WAIT on the
    // port would have no TCP state or memory.
    const auto ours = [&port](std::string options) {
        return std::vector<std::string>{"-t", options, "--port", port, "exclude", "time-wait"};
    };
    const auto rows = run_json(ours("-iom"));
    ASSERT_EQ(rows.size(), 3u);
    for (const JsonValue& row : rows) {
        for (const char* detail : {"tcp_info", "timer", "memory"})
            ASSERT_TRUE(row.member(detail) && row.member(detail)->is(JsonValue::Kind::object)) << detail;
        EXPECT_GT(number(*row.member("memory"), "receive_buffer"), 0);
        if (text(row, "state") == "ESTABLISHED") {
            EXPECT_GT(number(*row.member("tcp_info"), "send_mss"), 0);
        }
    }
    const auto memory_only = run_json(ours("-m"));
    ASSERT_EQ(memory_only.size(), 3u);
    EXPECT_EQ(memory_only[0].member("tcp_info"), nullptr);

    const auto piped = run_tool(ours("-iom"));
    ASSERT_EQ(piped.exit_code, 0) << piped.err;
    for (const auto& line : lines_of(piped.out))
        EXPECT_TRUE(line.find(" timer:(") != std::string::npos && line.find(" skmem:(r") != std::string::npos)
            << line;

    const auto table = run_tool_on_terminal(ours("-o"), 200);
    ASSERT_EQ(table.exit_code, 0) << table.err;
    const auto lines = lines_of(table.out);
    ASSERT_EQ(lines.size(), 7u); // the header, then a row and its timer's line for each socket
    for (std::size_t i = 2; i < lines.size(); i += 2) EXPECT_EQ(lines[i].rfind("\ttimer:(", 0), 0u) << lines[i];
}

// -K: the sockets selected are destroyed and listed; without CAP_NET_ADMIN
// none is, and the status and stderr say why.
TEST(Tool, KillDestroysWhatItSelectsWithThePrivilegeOnly) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    // Both ends, so that no other socket on the machine matches.
    const std::string client_end = "src 127.0.0.1:" + std::to_string(client.local().port) + " and dst 127.0.0.1:" +
                                   std::to_string(listener.port());

    RunOptions unprivileged = tool_options({"-K", client_end});
    unprivileged.without_capabilities = {CAP_NET_ADMIN};
    const auto refused = run_program(SOCKSCOPE_TOOL, unprivileged);
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find("CAP_NET_ADMIN"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(send(client.fd(), "x", 1, 0), 1);

    const auto killed = run_tool({"-K", client_end});
    ASSERT_EQ(killed.exit_code, 0) << killed.err;
    const auto lines = lines_of(killed.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(fields_of(lines[0])[field::local_port], std::to_string(client.local().port));
    char byte[2];
    EXPECT_EQ(recv(server.fd(), byte, 1, 0), 1); // what was sent before
    EXPECT_EQ(recv(server.fd(), byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_EQ(run_tool({"-K", "--watch", "1"}).exit_code, 2);
    EXPECT_EQ(run_tool({"-K", "-A"}).exit_code, 2);
}

} // namespace

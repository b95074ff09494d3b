// SPDX-License-Identifier: MIT
// What the sockscope tool shows of each socket beyond its ends, on real
// sockets: queues, a connected UDP socket's peer, every holder of a shared
// socket, the user, the dual-stack wildcard, link-local zones, names by
// their kernel comm, several ports and states at once, and tables that fit
// narrow terminals.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/child_process.h"
#include "support/holding_child.h"
#include "support/isolated_child.h"
#include "support/link_local_namespace.h"
#include "support/loopback_sockets.h"
#include "support/own_name.h"
#include "support/tool_run.h"

using namespace sockscope_test;

namespace {

const std::string self = std::to_string(getpid());

// A UDP socket connected to 127.0.0.1:`port`, closed on destruction.
struct ConnectedUdp {
    explicit ConnectedUdp(unsigned port) {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(static_cast<std::uint16_t>(port));
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in own{};
        socklen_t length = sizeof own;
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&own), &length) != 0)
            throw std::runtime_error("udp connect");
        local_port = ntohs(own.sin_port);
    }
    ~ConnectedUdp() { close(fd); }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unsigned local_port = 0;
};

// Waits (up to 5 s) until `fd` has `bytes` ready to read.
bool has_unread(int fd, int bytes) {
    for (int i = 0; i < 500; ++i) {
        int ready = 0;
        if (ioctl(fd, FIONREAD, &ready) == 0 && ready >= bytes) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(ToolColumns, QueuesShowTheBytesNotReadYet) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    const auto udp = TestSocket::udp_socket("127.0.0.1");
    const ConnectedUdp sender(udp.port());
    const std::string bytes(5000, 'x');
    ASSERT_EQ(write(client.fd(), bytes.data(), bytes.size()), 5000);
    ASSERT_EQ(write(sender.fd, bytes.data(), bytes.size()), 5000);
    ASSERT_TRUE(has_unread(server.fd(), 5000) && has_unread(udp.fd(), 5000));

    const auto piped = run_tool({"-tu", "--pid", self});
    const auto tcp = lines_at(piped.out, "tcp", "127.0.0.1", listener.port());
    const auto unread = std::find_if(tcp.begin(), tcp.end(), [](const auto& f) { return f[field::state] == "ESTABLISHED"; });
    ASSERT_NE(unread, tcp.end()) << piped.out;
    EXPECT_EQ((*unread)[field::receive_queue], "5000");
    const auto datagram = lines_at(piped.out, "udp", "127.0.0.1", udp.port());
    ASSERT_EQ(datagram.size(), 1u) << piped.out;
    // A UDP queue counts what the datagram takes in memory: 5000 or more.
    EXPECT_GE(std::stoul(datagram[0][field::receive_queue]), 5000u);

    for (const auto& row : run_json({"-tu", "--pid", self})) {
        if (number(row, "local_port") == server.port() && number(row, "remote_port") == client.port()) {
            EXPECT_EQ(number(row, "receive_queue"), 5000);
        }
    }
}

TEST(ToolColumns, AConnectedUdpSocketShowsItsPeerAndState) {
    const auto bound = TestSocket::udp_socket("127.0.0.1");
    const ConnectedUdp connected(bound.port());
    const auto piped = run_tool({"-u", "--pid", self});
    const auto peer = lines_at(piped.out, "127.0.0.1", connected.local_port);
    ASSERT_EQ(peer.size(), 1u) << piped.out;
    EXPECT_EQ(peer[0][field::peer_address], "127.0.0.1");
    EXPECT_EQ(peer[0][field::peer_port], std::to_string(bound.port()));
    EXPECT_EQ(peer[0][field::state], "ESTABLISHED");
    const auto alone = lines_at(piped.out, "127.0.0.1", bound.port());
    ASSERT_EQ(alone.size(), 1u) << piped.out;
    EXPECT_EQ(alone[0][field::peer_address] + alone[0][field::peer_port] + alone[0][field::state], "--UNCONN");

    // -l lists the unconnected one, --state established the connected one.
    const auto listening = run_tool({"-lu", "--pid", self}).out;
    EXPECT_EQ(lines_at(listening, "127.0.0.1", bound.port()).size(), 1u);
    EXPECT_TRUE(lines_at(listening, "127.0.0.1", connected.local_port).empty());
    const auto established = run_tool({"-u", "--state", "Established", "--pid", self}).out;
    EXPECT_TRUE(lines_at(established, "127.0.0.1", bound.port()).empty());
    EXPECT_EQ(lines_at(established, "127.0.0.1", connected.local_port).size(), 1u);
    const auto table = run_tool({"-u", "--pid", self}, Stdout::terminal);
    EXPECT_EQ(lines_with(table.out, " ESTAB ").size(), 1u) << table.out;
}

TEST(ToolColumns, ASocketSharedWithAForkedChildShowsEveryHolder) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    HoldingChild child([] { return 0; }); // holds a copy of every descriptor
    ASSERT_EQ(child.reported(), 0);
    const std::string name = own_name(), fd = std::to_string(listener.fd());
    std::vector<std::string> pids = {self, std::to_string(child.pid())};
    std::sort(pids.begin(), pids.end(), [](const std::string& a, const std::string& b) { return std::stol(a) < std::stol(b); });

    const auto piped = run_tool({"-l", "--pid", std::to_string(child.pid())});
    const auto rows = lines_at(piped.out, "127.0.0.1", listener.port());
    ASSERT_EQ(rows.size(), 1u) << piped.out;
    EXPECT_EQ(rows[0][field::owners], pids[0] + "/" + name + "," + pids[1] + "/" + name);
    const auto extended = lines_at(run_tool({"-le", "--pid", std::to_string(child.pid())}).out, "127.0.0.1", listener.port());
    ASSERT_EQ(extended.size(), 1u);
    EXPECT_EQ(extended[0].back(), pids[0] + "/" + name + ":" + fd + "," + pids[1] + "/" + name + ":" + fd);

    const auto json = run_json({"-l", "--pid", self});
    const auto row = std::find_if(json.begin(), json.end(), [&](const JsonValue& r) { return number(r, "local_port") == listener.port(); });
    ASSERT_NE(row, json.end());
    EXPECT_EQ(owners_of(*row), (std::vector<std::string>{pids[0] + "/" + name, pids[1] + "/" + name}));
    for (const JsonValue& owner : row->member("owners")->array) {
        EXPECT_EQ(number(owner, "fd"), listener.fd());
        EXPECT_EQ(text(owner, "comm"), name.substr(0, 15));
    }
}

TEST(ToolColumns, TheUserColumnNamesTheSocketsUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a socket as another user";
    constexpr uid_t nameless = 54321;
    if (getpwuid(nameless) != nullptr) GTEST_SKIP() << "user " << nameless << " has a name here";
    const auto mine = TestSocket::udp_socket("127.0.0.1");
    const pid_t test = getpid();
    HoldingChild other([test] {
        if (setresgid(nameless, nameless, nameless) != 0 || setresuid(nameless, nameless, nameless) != 0) return -1;
        // A change of user clears the signal that ends it with the test.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != test) return -1;
        static const auto socket = TestSocket::udp_socket("127.0.0.1"); // lives as long as the child
        return static_cast<int>(socket.port());
    });
    const int port = other.reported();
    ASSERT_GT(port, 0);

    const auto piped = run_tool({"-u", "--pid", self + "," + std::to_string(other.pid())}).out;
    const auto root_line = lines_at(piped, "127.0.0.1", mine.port());
    const auto other_line = lines_at(piped, "127.0.0.1", static_cast<unsigned>(port));
    ASSERT_TRUE(root_line.size() == 1 && other_line.size() == 1) << piped;
    EXPECT_EQ(root_line[0][field::user], "root");
    EXPECT_EQ(other_line[0][field::user], std::to_string(nameless));
    for (const auto& row : run_json({"-u", "--pid", std::to_string(other.pid())})) {
        if (number(row, "local_port") != port) continue; // the child holds this process's sockets too
        EXPECT_EQ(number(row, "uid"), nameless);
        EXPECT_TRUE(is_null(row, "user"));
    }
    const auto extended = lines_at(run_tool({"-ue", "--pid", self}).out, "127.0.0.1", mine.port());
    ASSERT_EQ(extended.size(), 1u);
    EXPECT_EQ(extended[0][9], "0"); // UID, after User
}

TEST(ToolColumns, ADualStackWildcardShowsAsStarAndAV6OnlyOneAsItsAddress) {
    const auto dual = TestSocket::tcp6_listener("::", false);
    const auto only = TestSocket::tcp6_listener("::", true);
    const auto udp = TestSocket::udp6_socket("::");
    // --pid is filtered by the tool, not by the kernel.
    const auto piped = run_tool({"-6", "-tul", "--pid", self}).out;
    EXPECT_EQ(lines_at(piped, "tcp6", "*", dual.port()).size(), 1u) << piped;
    EXPECT_EQ(lines_at(piped, "tcp6", "::", only.port()).size(), 1u) << piped;
    EXPECT_EQ(lines_at(piped, "udp6", "*", udp.port()).size(), 1u) << piped;
    for (const auto& row : run_json({"-6", "-l", "--pid", self})) {
        EXPECT_EQ(text(row, "local_address"), "::");
        if (number(row, "local_port") == dual.port()) {
            EXPECT_FALSE(row.member("v6only")->boolean);
        }
        if (number(row, "local_port") == only.port()) {
            EXPECT_TRUE(row.member("v6only")->boolean);
        }
    }
}

// In a network namespace of its own: fe80::1 on two links, and a long
// link-local address that a narrow table elides, keeping its interface.
TEST(ToolColumns, ALinkLocalAddressCarriesItsInterface) {
    const std::string fault = run_isolated([]() -> std::string {
        if (std::string made = enter_namespace_with_two_links(); !made.empty()) return made;
        const std::string long_address = "fe80::a00:27ff:fe4e:66a1";
        if (std::system(("ip -6 address add " + long_address + "/64 dev v0 nodad").c_str()) != 0)
            return "skip: ip could not add " + long_address;
        const auto on_v0 = TestSocket::tcp6_listener("fe80::1%v0", true, 45000);
        const auto on_v1 = TestSocket::tcp6_listener("fe80::1%v1", true, 45000);
        const auto far = TestSocket::tcp6_listener(long_address + "%v0", true, 45001);
        std::string faults;
        const auto piped = run_tool({"-6", "-l"}).out;
        for (const auto& [address, port] : {std::pair<std::string, unsigned>{"fe80::1%v0", 45000},
                                            {"fe80::1%v1", 45000}, {long_address + "%v0", 45001}})
            if (lines_at(piped, address, port).size() != 1) faults += "no line for " + address + "\n";
        for (const auto& [locale, mark] : {std::pair<std::string, std::string>{"C.UTF-8", "\u2026"}, {"C", "~"}}) {
            RunOptions narrow = tool_options({"-6", "-l"}, Stdout::terminal);
            narrow.terminal_columns = 60;
            narrow.set_environment = {{"LC_ALL", locale}};
            const auto table = run_program(SOCKSCOPE_TOOL, narrow).out;
            const auto rows = lines_with(table, mark + "66a1%v0 ");
            if (rows.size() != 1 || rows[0].rfind("fe80", 0) != 0 || lines_with(table, "fe80::1%v1 ").size() != 1)
                faults += locale + ": not elided as it should be:\n" + table;
        }
        return faults;
    });
    if (fault.rfind("skip:", 0) == 0) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, "");
}

TEST(ToolColumns, NameMatchesTheWholeNameOrTheKernelsFifteenBytes) {
    const std::string name = unique_name("long-client-process-");
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1"});
    const std::string owner = std::to_string(child.pid()) + "/" + name;
    for (const std::string& asked : {name, name.substr(0, 15)}) {
        const auto rows = run_json({"--name", asked});
        ASSERT_EQ(rows.size(), 1u) << asked;
        EXPECT_EQ(owners_of(rows[0]), std::vector<std::string>{owner});
    }
    EXPECT_TRUE(run_json({"--name", name.substr(0, 14)}).empty());
}

TEST(ToolColumns, SeveralPortsAndStatesAtOnce) {
    const auto a = TestSocket::tcp_listener("127.0.0.1");
    const auto b = TestSocket::tcp_listener("127.0.0.1");
    const auto c = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", a.port());
    const auto ports = [](const std::vector<JsonValue>& rows) {
        std::vector<std::int64_t> seen;
        for (const auto& row : rows) seen.push_back(number(row, "local_port"));
        std::sort(seen.begin(), seen.end());
        return seen;
    };
    const std::string pa = std::to_string(a.port()), pb = std::to_string(b.port()), pc = std::to_string(c.port());
    // a's listener, this process's end of the connection to it (the other
    // end, not accepted, has no holder) and b's listener.
    std::vector<std::int64_t> a_and_b = {a.port(), b.port(), client.port()};
    std::sort(a_and_b.begin(), a_and_b.end());
    EXPECT_EQ(ports(run_json({"--pid", self, "--port", pa + "," + pb})), a_and_b);
    EXPECT_EQ(ports(run_json({"--pid", self, "--port", pa, "--port=" + pb})), a_and_b);
    std::vector<std::int64_t> listeners = {a.port(), b.port(), c.port()};
    std::sort(listeners.begin(), listeners.end());
    EXPECT_EQ(ports(run_json({"--pid", self, "--port", pa + "," + pb + "," + pc, "--state", "LISTEN"})), listeners);
    for (const auto& row : run_json({"--pid", self, "--port", pa, "--state", "estab,syn-sent"}))
        EXPECT_EQ(text(row, "state"), "ESTABLISHED");

    // Nothing matches: the header alone on a terminal, nothing elsewhere. No
    // process holds a socket in TIME_WAIT; without --pid, another process's
    // connection that ended before a took its port could have it as its
    // remote port.
    const std::vector<std::string> none = {"--pid", self, "--port", pa, "--state", "time_wait"};
    const auto table = run_tool(none, Stdout::terminal);
    EXPECT_EQ(table.exit_code, 0);
    ASSERT_EQ(lines_of(table.out).size(), 1u) << table.out;
    EXPECT_EQ(table.out.rfind("Proto ", 0), 0u);
    EXPECT_EQ(run_tool(none).out, "");
    EXPECT_EQ(run_tool({"-l", "--state", "established"}, Stdout::terminal).out.rfind("Proto ", 0), 0u);
}

// The columns a table line takes before its last field (the holders, which
// may reach past a narrow terminal's edge rather than be cut).
std::size_t columns_before_holders(const std::string& line) {
    return columns_of(line.substr(0, line.find_last_of(' ') + 1));
}

// The table at 60, 80, 100 and 200 columns, with -A too, redrawn by --watch
// at 60: no line is wider than the terminal but by its holders, and
// PID/Name always shows.
TEST(ToolColumns, TheTableFitsTheTerminalsWidth) {
    const std::string name = unique_name("fit");
    ChildProcess child(test_child_named(name), {"tcp-listen", "127.0.0.1", "udp-bind", "127.0.0.1"});
    const auto client = TestSocket::tcp_connection("127.0.0.1", child.ports().at(0));
    const std::string owner = std::to_string(child.pid()) + "/" + name;
    const std::vector<std::string> arguments = {"-tu", "--pid", std::to_string(child.pid()) + "," + self};
    for (const bool every_namespace : {false, true})
    for (const unsigned short width : {60, 80, 100, 200}) {
        std::vector<std::string> given = arguments;
        if (every_namespace) given.push_back("-A");
        const auto run = run_tool_on_terminal(given, width);
        const auto lines = lines_of(run.out);
        ASSERT_EQ(lines.size(), 4u) << run.out;
        for (const auto& line : lines) EXPECT_LE(columns_before_holders(line), width) << width << ": " << line;
        EXPECT_NE(lines[0].find("PID/Name"), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("Port"), std::string::npos) << lines[0];
        EXPECT_EQ(lines_with(run.out, owner).size(), 2u) << width << ":\n" << run.out;
        if (width < (every_namespace ? 200 : 100)) continue;
        // (Addresses may be headed "Local" and "Peer": the holders' room.)
        for (const char* column : {"Proto", "Recv-Q", "Send-Q", "Local", "Peer", "State", "User"})
            EXPECT_NE(lines[0].find(column), std::string::npos) << width << ": " << column;
        if (every_namespace) {
            for (const char* column : {"Netns", "Container"}) EXPECT_NE(lines[0].find(column), std::string::npos) << column;
        }
    }
    const auto extended = run_tool_on_terminal({"-tue", "--pid", std::to_string(child.pid())}, 200);
    for (const char* column : {"UID", "Inode", "Cookie", "PID/Name"})
        EXPECT_NE(lines_of(extended.out).at(0).find(column), std::string::npos) << column;

    RunOptions options = tool_options(arguments, Stdout::terminal);
    options.terminal_columns = 60;
    options.arguments.insert(options.arguments.begin(), {"--watch", "0.1"});
    RunningProgram watch(SOCKSCOPE_TOOL, options);
    EXPECT_TRUE(watch.wait_for_output(owner, 4, std::chrono::seconds(20)));
    watch.signal(SIGINT);
    const auto run = watch.finish();
    EXPECT_EQ(run.exit_code, 0);
    for (const auto& line : lines_of(without_control_sequences(run.out))) EXPECT_LE(columns_of(line), 60u) << line;
}

// A listener shared with a forked child (two holders named after the test
// program, wider than the 20 columns kept for holders) and a v6-only one, at
// 40 to 120 columns, with -e and without: a column left out is named in one
// line on stderr, none is left out unsaid, and holders are whole or counted.
TEST(ToolColumns, ANarrowTableNamesWhatItLeavesOutAndNeverCutsAHolder) {
    const auto shared = TestSocket::tcp_listener("127.0.0.1");
    const auto only = TestSocket::tcp6_listener("::", true);
    HoldingChild child([] { return 0; });
    ASSERT_EQ(child.reported(), 0);
    const std::string pid = std::to_string(child.pid()), low = std::min(getpid(), child.pid()) == getpid() ? self : pid;
    const std::string high = low == self ? pid : self, fd = ":" + std::to_string(shared.fd());
    const auto row_of = [](const std::vector<std::string>& lines, std::int64_t port) {
        return std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return l.find(" " + std::to_string(port) + " ") != l.npos; });
    };
    for (const bool extended : {false, true})
    for (const unsigned short width : {40, 60, 80, 120}) {
        const auto run = run_tool_on_terminal({extended ? "-tle" : "-tl", "--pid", pid}, width);
        const std::string at = std::to_string(width) + (extended ? " -e" : "") + ":\n" + run.out + run.err;
        const auto lines = lines_of(run.out), notes = lines_with(run.err, "columns leave out");
        ASSERT_EQ(lines.size(), 3u) << at;
        // Every column a table of these can leave out; the last five with -e.
        const char* const headers[] = {"Proto", "Recv-Q", "Send-Q", "Local", "Peer", "State",
                                       "User",  "UID",    "Inode",  "Cookie", "V6only", "Cgroup"};
        std::vector<std::string> left_out;
        for (std::size_t i = 0; i < (extended ? 12u : 7u); ++i)
            if (lines[0].find(headers[i]) == std::string::npos) left_out.push_back(headers[i]);
        ASSERT_EQ(notes.size(), left_out.empty() ? 0u : 1u) << at;
        for (const auto& header : left_out) EXPECT_NE(notes[0].find(header), std::string::npos) << header << " at " << at;
        if (!left_out.empty()) {
            EXPECT_NE(notes[0].find("--wide"), std::string::npos) << at;
        }
        EXPECT_NE(lines[0].find("PID/Name"), std::string::npos) << at;
        // The lower pid's holder whole, then the other whole or counted.
        const auto row = row_of(lines, shared.port());
        ASSERT_NE(row, lines.end()) << at;
        const std::string holders = row->substr(row->find_last_of(' ') + 1), first = low + "/" + own_name() + (extended ? fd : "");
        EXPECT_TRUE(holders == first + "," + high + "/" + own_name() + (extended ? fd : "") || holders == first + ",+1") << at;
        EXPECT_LE(columns_before_holders(*row), width) << at;
    }

    // --wide: every column whatever the width, nothing said; -H: no header.
    const auto wide = run_tool_on_terminal({"-tle", "--wide", "--pid", pid}, 40);
    const auto wide_lines = lines_of(wide.out);
    EXPECT_TRUE(lines_with(wide.err, "columns leave out").empty()) << wide.err;
    ASSERT_EQ(wide_lines.size(), 3u) << wide.out;
    EXPECT_NE(wide_lines[0].find("Cookie  V6only  Cgroup"), std::string::npos) << wide_lines[0];
    const auto bare = run_tool_on_terminal({"-tlH", "--pid", pid}, 200);
    EXPECT_EQ(lines_of(bare.out).size(), 2u) << bare.out;
    EXPECT_EQ(bare.out.find("Proto"), std::string::npos) << bare.out;

    // -e's cells against --json: the cookie in hex after "sk:", then
    // IPV6_V6ONLY and the first holder's cgroup.
    for (const auto& row : run_json({"-tl", "--pid", pid})) {
        const auto line = row_of(wide_lines, number(row, "local_port"));
        ASSERT_NE(line, wide_lines.end()) << number(row, "local_port");
        std::istringstream words(*line);
        const std::vector<std::string> cells{std::istream_iterator<std::string>(words), {}};
        const auto sk = std::find_if(cells.begin(), cells.end(), [](const std::string& c) { return c.rfind("sk:", 0) == 0; });
        ASSERT_LE(sk + 3, cells.end()) << *line;
        EXPECT_EQ(std::stoull(sk->substr(3), nullptr, 16), static_cast<std::uint64_t>(number(row, "cookie"))) << *line;
        EXPECT_EQ(sk[1], number(row, "local_port") == only.port() ? "1" : "-") << *line;
        const JsonValue& owner = row.member("owners")->array.at(0);
        EXPECT_EQ(sk[2], is_null(owner, "cgroup") ? "-" : text(owner, "cgroup")) << *line;
    }
}

} // namespace

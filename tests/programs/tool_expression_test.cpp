// SPDX-License-Identifier: MIT
// Filter expressions on the tool's command line, held against what ss
// lists for the same expression at the same moment, on sockets this test
// holds in every state it can keep still; and bad expressions, which say
// where they go wrong.
#include <arpa/inet.h>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "support/loopback_sockets.h"
#include "support/ss_view.h"
#include "support/tool_run.h"

using namespace sockscope_test;

namespace {

// Sockets on 127.0.0.1 and ::1: listeners (one IPv4, one dual stack), their
// connections in each family (an IPv4 one accepted as ::ffff:127.0.0.1),
// one half closed (FIN-WAIT-2 and CLOSE-WAIT), one in TIME-WAIT, and UDP
// sockets unconnected and connected.
struct Scene {
    TestSocket listener = TestSocket::tcp_listener("127.0.0.1");
    TestSocket dual = TestSocket::tcp6_listener("::", false);
    TestSocket client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    TestSocket server = TestSocket::accept_from(listener);
    TestSocket client4 = TestSocket::tcp_connection("127.0.0.1", dual.port());
    TestSocket server4 = TestSocket::accept_from(dual);
    TestSocket client6 = TestSocket::tcp6_connection("::1", dual.port());
    TestSocket server6 = TestSocket::accept_from(dual);
    TestSocket closing = TestSocket::tcp_connection("127.0.0.1", listener.port());
    TestSocket closed = TestSocket::accept_from(listener);
    TestSocket udp = TestSocket::udp_socket("127.0.0.1");
    TestSocket udp6 = TestSocket::udp6_socket("::1");
    TestSocket udp_connected = TestSocket::udp_socket("127.0.0.1");
    unsigned waiting_port = 0; // the client end of the connection in TIME-WAIT

    Scene() {
        shutdown(closing.fd(), SHUT_WR);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(udp.port()));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(udp_connected.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        {
            TestSocket leaving = TestSocket::tcp_connection("127.0.0.1", listener.port());
            TestSocket closer = TestSocket::accept_from(listener); // closes first: TIME-WAIT
            waiting_port = leaving.port();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the FINs are delivered
    }

    std::set<unsigned> ports() const {
        return {listener.port(), dual.port(), client.port(), client4.port(), client6.port(),
                closing.port(), udp.port(), udp6.port(), udp_connected.port(), waiting_port};
    }

    // `text` with {L}, {D}, {C}, {U} as the ports of the listener, the dual
    // stack listener, the first client and the unconnected UDP socket.
    std::string expand(std::string text) const {
        const std::pair<const char*, unsigned> names[] = {
            {"{L}", listener.port()}, {"{D}", dual.port()}, {"{C}", client.port()}, {"{U}", udp.port()}};
        for (const auto& [name, port] : names)
            for (std::size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, 3, std::to_string(port));
        return text;
    }
};

// "address:port peer-port" of the rows on the scene's ports, ends both
// (peer port 0: none), in ss's lines ("[STATE] recv-q send-q local:port peer:port", no
// state column when one state is asked for) or the tool's.
std::set<std::string> rows_on(const std::string& output, const std::set<unsigned>& ports, bool from_ss) {
    std::set<std::string> rows;
    for (const std::string& line : lines_of(output)) {
        std::istringstream words(line);
        const std::vector<std::string> f((std::istream_iterator<std::string>(words)), std::istream_iterator<std::string>());
        const std::size_t at = !f.empty() && std::isdigit(static_cast<unsigned char>(f[0][0])) ? 2 : 3;
        if (f.size() < (from_ss ? at + 2 : field::state + 1)) continue;
        std::string local = from_ss ? f[at] : f[field::local_address] + ":" + f[field::local_port];
        std::string peer = from_ss ? f[at + 1].substr(f[at + 1].rfind(':') + 1) : f[field::peer_port];
        std::erase(local, '[');
        std::erase(local, ']');
        // The scene's own: both ends on its ports (other tests' sockets,
        // which come and go between the two listings, may share one).
        const unsigned peer_port = peer == "*" || peer == "-" ? 0 : static_cast<unsigned>(std::atoi(peer.c_str()));
        if (ports.count(static_cast<unsigned>(std::atoi(local.substr(local.rfind(':') + 1).c_str()))) != 0 &&
            (peer_port == 0 || ports.count(peer_port) != 0))
            rows.insert(local + " " + std::to_string(peer_port));
    }
    return rows;
}

TEST(ToolExpression, ListsWhatSsListsForTheSameExpression) {
    const Scene scene;
    const struct {
        const char* table; // "-t" or "-u"
        const char* expression;
    } cases[] = {
        {"-t", "sport = :{L}"}, {"-t", "dport = :{L}"}, {"-t", "dport == {D}"}, {"-t", "sport eq :{C}"},
        {"-t", "sport != :{L}"}, {"-t", "dport neq :{D}"}, {"-t", "sport < :{C}"}, {"-t", "sport lt :{C}"},
        {"-t", "sport > :{C}"}, {"-t", "sport gt {C}"}, {"-t", "sport <= :{C}"}, {"-t", "sport le :{C}"},
        {"-t", "sport >= :{C}"}, {"-t", "dport geq :{C}"}, {"-t", "sport :{L}"}, {"-t", "sport != :ssh"},
        {"-t", "src 127.0.0.1"}, {"-t", "dst 127.0.0.1"}, {"-t", "src 127.0.0.1:{L}"}, {"-t", "dst 127.0.0.0/8"},
        {"-t", "dst 127.0/16"}, {"-t", "src [::1]"}, {"-t", "src [::1]:{D}"}, {"-t", "dst [::1]"},
        {"-t", "src [::ffff:127.0.0.1]"}, {"-t", "src *:{D}"}, {"-t", "src :{L}"}, {"-t", "dst *"},
        {"-t", "dst 0.0.0.0"}, {"-t", "dst [::]"}, {"-t", "dst = 127.0.0.1:{L}"},
        {"-t", "sport = :{L} or sport = :{D}"}, {"-t", "sport = :{L} dport = :{C}"},
        {"-t", "sport = :{L} && ! dport = :{C}"}, {"-t", "! sport = :{L} || sport = :{D}"},
        {"-t", "( sport = :{L} or sport = :{D} ) and dst 127.0.0.1"}, {"-t", "not ( sport = :{L} | dport = :{L} )"},
        {"-t", "state established"}, {"-t", "state listening"}, {"-t", "state fin-wait-2"},
        {"-t", "state close-wait"}, {"-t", "state time-wait"}, {"-t", "state connected"},
        {"-t", "state synchronized"}, {"-t", "state bucket"}, {"-t", "state big"}, {"-t", "state all"},
        {"-t", "exclude listening"}, {"-t", "state established state listening"},
        {"-t", "state listening ( sport = :{L} or sport = :{D} )"},
        {"-t", "exclude time-wait dport = :{L}"},
        {"-u", "sport = :{U}"}, {"-u", "state closed"}, {"-u", "state connected"}, {"-u", "state listening"},
        {"-u", "dst 127.0.0.1:{U}"}, {"-u", "src [::1]"}, {"-u", "exclude closed"},
    };
    const std::set<unsigned> ports = scene.ports();
    for (const auto& c : cases) {
        const std::string expression = scene.expand(c.expression);
        // Both take the expression's words as separate arguments (ss reads
        // its state words only so).
        std::vector<std::string> arguments{c.table};
        std::string command = std::string("ss -H -n -a ") + c.table;
        std::istringstream words(expression);
        for (std::string word; words >> word;) {
            arguments.push_back(word);
            command += " '" + word + "'";
        }
        const ProgramResult tool = run_tool(arguments);
        const std::string ss = command_output(command + " 2>&1");
        ASSERT_EQ(tool.exit_code, 0) << expression << ": " << tool.err;
        const std::set<std::string> listed = rows_on(tool.out, ports, false);
        EXPECT_EQ(listed, rows_on(ss, ports, true)) << expression << "\nss:\n" << ss << "tool:\n" << tool.out;
        // The scene is as said: its own TIME-WAIT row is there (another
        // test's may share a port with it).
        if (std::string(c.expression) == "state time-wait") {
            const std::string own = "127.0.0.1:" + std::to_string(scene.listener.port()) + " " +
                                    std::to_string(scene.waiting_port);
            EXPECT_EQ(listed.count(own), 1u) << own << " in\n" << tool.out;
        }
    }
}

TEST(ToolExpression, ABadOneSaysWhereInOneLine) {
    const struct {
        std::vector<std::string> arguments;
        const char* error;
    } cases[] = {
        {{"-t", "dport = :44x"}, "sockscope: bad expression 'dport = :44x' at byte 9: not a port number (0 to 65535)\n"},
        {{"-t", "(", "sport", "=", ":22"}, "sockscope: bad expression '( sport = :22' at byte 14: ')' expected\n"},
        {{"--", "-4"}, "sockscope: bad expression '-4' at byte 1: sport, dport, src, dst, not or '(' expected\n"},
    };
    for (const auto& c : cases) {
        const ProgramResult result = run_tool(c.arguments);
        EXPECT_EQ(result.exit_code, 2) << c.error;
        EXPECT_EQ(result.err, c.error);
        EXPECT_EQ(result.out, "");
    }
    const ProgramResult events = run_tool({"--events", "sport", "=", ":22"});
    EXPECT_EQ(events.exit_code, 2);
    EXPECT_NE(events.err.find("not --events"), std::string::npos) << events.err;
}

} // namespace

// SPDX-License-Identifier: MIT
// The tables read live from the kernel: both sources agree, owners are
// found, and only IPv4 sockets appear.
#include <algorithm>
#include <chrono>
#include <thread>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <stdexcept>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "core/filter_expression.h"
#include "core/netlink_messages.h"
#include "linux/socket_table_source.h"
#include "support/holding_child.h"
#include "support/loopback_sockets.h"
#include "support/results.h"
#include "support/table_rows.h"
#include "api/table_pipeline.h"

using namespace sockscope_detail;
using sockscope_test::TestSocket;

namespace {

std::uint32_t network_port(unsigned host) { return sockscope_test::port_field(host); }

using RowKey = std::tuple<std::uint32_t, Address, std::uint32_t, Address, std::uint32_t, std::uint64_t, std::uint32_t>;

// Every row of a table with its owner, read through the pipeline.
SocketRows read_table(Protocol protocol, TableSource source = TableSource::automatic,
                                  std::uint32_t only_process = 0, Family family = Family::ipv4) {
    TableQuery query(protocol, family);
    query.only_process = only_process;
    SystemSources sources;
    sources.table = source;
    return sockscope_test::ok(read_owned_table(query, sources)).rows;
}

// The rows of `table` that are one of `sockets`.
std::multiset<RowKey> rows_of(const SocketRows& table, Family family,
                              const std::vector<const TestSocket*>& sockets) {
    std::multiset<RowKey> picked;
    for (const SocketRow& row : table)
        for (const TestSocket* socket : sockets)
            if (sockscope_test::row_is(row, family, *socket)) {
                picked.insert({row.state, row.local_address, row.local_port, row.remote_address, row.remote_port,
                               row.inode, row.owner});
                break;
            }
    return picked;
}

// The kernel's answer to `request`, parsed as a request for the whole
// table, so that nothing is filtered here.
SocketRows kernel_answer(const TableRequest& request, DumpKind kind = DumpKind::one_family) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    const std::vector<unsigned char> bytes = make_dump_request(request, 1, kind);
    SocketRows rows;
    if (fd < 0 || send(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        ADD_FAILURE() << "no request sent";
        return rows;
    }
    std::vector<char> datagram(1 << 16);
    bool interrupted = false;
    for (int datagrams = 0; datagrams < 1000; ++datagrams) {
        const ssize_t got = recv(fd, datagram.data(), datagram.size(), 0);
        const DiagBatch batch = got <= 0 ? DiagBatch{DiagBatch::failed, errno}
                                         : parse_diag_batch(datagram.data(), static_cast<std::size_t>(got), 1,
                                                            {request.protocol, request.family, 0, {}}, rows,
                                                            interrupted, kind);
        EXPECT_NE(batch.outcome, DiagBatch::failed) << "the kernel refused the request: errno " << batch.error;
        if (batch.outcome != DiagBatch::more) break;
    }
    close(fd);
    return rows;
}

// The row on 127.0.0.1:`port` in `state` (0: any).
const SocketRow* find_local(const SocketRows& rows, unsigned port, std::uint32_t state = 0) {
    for (const SocketRow& row : rows)
        if (row.local_port == network_port(port) && ipv4_field(row.local_address) == 0x0100007F &&
            (state == 0 || row.state == state))
            return &row;
    return nullptr;
}

// The IPv4 row with these two ends in `state`. A connection's local end
// alone is not enough: the kernel may give its port to a connection to
// another peer while an older one that used it waits in TIME_WAIT.
const SocketRow* find_ends(const SocketRows& rows, const sockscope_test::Endpoint& local,
                           const sockscope_test::Endpoint& remote, std::uint32_t state) {
    for (const SocketRow& row : rows)
        if (row.state == state && sockscope_test::row_end(Family::ipv4, row.local_address, row.local_port) == local &&
            sockscope_test::row_end(Family::ipv4, row.remote_address, row.remote_port) == remote)
            return &row;
    return nullptr;
}

TEST(SocketTable, NetlinkAndProcNetGiveTheSameRows) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    const auto udp = TestSocket::udp_socket("127.0.0.3");
    const auto listener6 = TestSocket::tcp6_listener("::", false);
    const auto client6 = TestSocket::tcp_connection("127.0.0.1", listener6.port()); // an IPv4 client
    const auto server6 = TestSocket::accept_from(listener6);
    const auto udp6 = TestSocket::udp6_socket("::1");
    struct Case {
        Protocol protocol;
        Family family;
        std::vector<const TestSocket*> sockets;
    };
    const Case cases[] = {{Protocol::tcp, Family::ipv4, {&listener, &client, &server, &client6}},
                          {Protocol::udp, Family::ipv4, {&udp}},
                          {Protocol::tcp, Family::ipv6, {&listener6, &server6}},
                          {Protocol::udp, Family::ipv6, {&udp6}}};
    for (const Case& c : cases) {
        const auto netlink = read_table(c.protocol, TableSource::netlink, 0, c.family);
        const auto proc = read_table(c.protocol, TableSource::proc_net, 0, c.family);
        const auto port = c.sockets.front()->port();
        EXPECT_EQ(rows_of(netlink, c.family, c.sockets).size(), c.sockets.size()) << port;
        EXPECT_EQ(rows_of(netlink, c.family, c.sockets), rows_of(proc, c.family, c.sockets)) << port;
    }
}

TEST(SocketTable, OwnSocketsAreOursAndTimeWaitHasNoOwner) {
    const auto self = static_cast<std::uint32_t>(getpid());
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    std::optional<TestSocket> client(TestSocket::tcp_connection("127.0.0.1", listener.port()));
    std::optional<TestSocket> server(TestSocket::accept_from(listener));
    const sockscope_test::Endpoint client_end = client->local(), server_end = client->peer();
    {
        const auto rows = read_table(Protocol::tcp);
        const SocketRow* client_row = find_ends(rows, client_end, server_end, 1);
        ASSERT_NE(client_row, nullptr);
        EXPECT_EQ(client_row->owner, self);
    }
    // The client closes first, so once the server closes too its end waits
    // in TIME_WAIT, held by no process.
    client.reset();
    server.reset();

    // Loopback delivers the closing segments at once; allow a moment anyway.
    SocketRows rows;
    for (int attempt = 0; attempt < 100; ++attempt) {
        rows = read_table(Protocol::tcp);
        if (find_ends(rows, client_end, server_end, 6) != nullptr) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const SocketRow* listening = find_local(rows, listener.port(), 10);
    ASSERT_NE(listening, nullptr);
    EXPECT_EQ(listening->owner, self);
    const SocketRow* waiting = find_ends(rows, client_end, server_end, 6);
    ASSERT_NE(waiting, nullptr);
    EXPECT_EQ(waiting->inode, 0u);
    EXPECT_EQ(waiting->owner, 0u);
}

TEST(SocketTable, ASocketHeldBySeveralProcessesBelongsToTheLowestId) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    int hold[2];
    ASSERT_EQ(pipe(hold), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) { // inherits the listener; lives until the pipe closes
        close(hold[1]);
        char c;
        while (read(hold[0], &c, 1) > 0) {
        }
        _exit(0);
    }
    close(hold[0]);
    const auto rows = read_table(Protocol::tcp);
    close(hold[1]);
    waitpid(child, nullptr, 0);

    const SocketRow* row = find_local(rows, listener.port(), 10);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->owner, static_cast<std::uint32_t>(std::min(getpid(), child)));
}

TEST(SocketTable, OnlyIpv4SocketsAppear) {
    const auto v6 = TestSocket::tcp6_listener(false);
    const auto mapped = TestSocket::tcp6_listener(true);
    const auto v4 = TestSocket::tcp_listener("127.0.0.1");
    // The IPv6 sockets are looked for by inode: ::1's port is free in IPv4,
    // where another process's socket on 127.0.0.1 may have it.
    const auto holds = [](const SocketRows& rows, const TestSocket& socket) {
        struct stat file {};
        EXPECT_EQ(fstat(socket.fd(), &file), 0);
        return std::ranges::any_of(rows, [&file](const SocketRow& row) { return row.inode == file.st_ino; });
    };
    for (const auto source : {TableSource::netlink, TableSource::proc_net}) {
        const auto rows = read_table(Protocol::tcp, source);
        EXPECT_NE(find_local(rows, v4.port()), nullptr);
        EXPECT_TRUE(holds(rows, v4));
        EXPECT_FALSE(holds(rows, v6));
        EXPECT_FALSE(holds(rows, mapped));
    }
}

TEST(SocketTable, AnUnreadableTableFailsTheCall) {
    SystemSources nowhere;
    nowhere.proc_root = "/nonexistent";
    nowhere.table = TableSource::proc_net;
    SocketRows rows;
    const Result<void> read = read_socket_table({Protocol::tcp, Family::ipv4, 0, {}}, nowhere, rows);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error(), ENOENT);
}

} // namespace

namespace {

// Asked for one process's sockets, the pipeline makes that process the owner
// of every socket it holds, also one that a lower id holds too.
TEST(SocketTable, OneProcessOwnsEverySocketItHolds) {
    const auto shared = TestSocket::tcp_listener("127.0.0.1");
    sockscope_test::HoldingChild child([] { return 0; }); // holds `shared` too
    ASSERT_EQ(child.reported(), 0);
    // Ids wrap: the child's may be the lower one.
    const auto lower = static_cast<std::uint32_t>(std::min(getpid(), child.pid()));
    const auto higher = static_cast<std::uint32_t>(std::max(getpid(), child.pid()));
    const auto everyones = read_table(Protocol::tcp);
    const SocketRow* row = find_local(everyones, shared.port(), 10);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->owner, lower);
    const auto highers = read_table(Protocol::tcp, TableSource::automatic, higher);
    ASSERT_NE(find_local(highers, shared.port(), 10), nullptr);
    EXPECT_EQ(find_local(highers, shared.port(), 10)->owner, higher);
    const auto unrelated = read_table(Protocol::tcp, TableSource::automatic, higher + 1000000);
    ASSERT_NE(find_local(unrelated, shared.port(), 10), nullptr);
    EXPECT_EQ(find_local(unrelated, shared.port(), 10)->owner, 0u);
}

} // namespace

namespace {

// A child holding `dense` listeners on the descriptors right after stdio
// and, when `far` is not 0, one more listener on descriptor `far`; it
// reports their ports and lives until the test closes its pipe.
class DescriptorLayoutChild {
public:
    DescriptorLayoutChild(int dense, int far) {
        int ready[2], hold[2];
        if (pipe(ready) != 0 || pipe(hold) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            // Its pipes move to the top, everything else above stdio closes.
            dup2(ready[1], 1001);
            dup2(hold[0], 1002);
            close_range(3, 1000, 0);
            std::vector<unsigned> ports;
            for (int i = 0; i < dense + (far != 0); ++i) {
                auto listener = TestSocket::tcp_listener("127.0.0.1");
                ports.push_back(listener.port());
                if (i == dense) { // the far one
                    dup2(listener.fd(), far);
                    close(listener.fd());
                }
                new TestSocket(std::move(listener)); // kept open until the child ends
            }
            (void)!write(1001, ports.data(), ports.size() * sizeof(unsigned));
            close(1001);
            char c;
            while (read(1002, &c, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        hold_ = hold[1];
        ports_.resize(static_cast<std::size_t>(dense + (far != 0)));
        const auto bytes = static_cast<ssize_t>(ports_.size() * sizeof(unsigned));
        const bool reported = read(ready[0], ports_.data(), static_cast<std::size_t>(bytes)) == bytes;
        close(ready[0]);
        if (!reported) throw std::runtime_error("child did not report");
    }
    ~DescriptorLayoutChild() {
        close(hold_);
        waitpid(pid_, nullptr, 0);
    }
    std::uint32_t pid() const { return static_cast<std::uint32_t>(pid_); }
    const std::vector<unsigned>& ports() const { return ports_; }

private:
    pid_t pid_;
    int hold_ = -1;
    std::vector<unsigned> ports_;
};

// Owners are found whether the descriptors are few or many, numbered
// without gaps or with a socket far above the rest.
TEST(SocketTable, FindsOwnersWhateverTheDescriptorNumbers) {
    const std::pair<int, int> layouts[] = {{1, 0}, {1, 100}, {30, 0}, {40, 300}};
    for (const auto& [dense, far] : layouts) {
        DescriptorLayoutChild child(dense, far);
        const auto rows = read_table(Protocol::tcp);
        for (const unsigned port : child.ports()) {
            const SocketRow* row = find_local(rows, port, 10);
            ASSERT_NE(row, nullptr) << dense << " " << far;
            EXPECT_EQ(row->owner, child.pid()) << "layout " << dense << "+" << far << ", port " << port;
        }
    }
}

// The kernel runs the request's filters itself: its answer to a request
// for one port in one state holds no other socket, before any row is
// filtered here. TCP's request for both families is filtered alike.
TEST(SocketTable, TheKernelAppliesTheRequestsFilters) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    const auto other = TestSocket::tcp_listener("127.0.0.1");
    const auto listener6 = TestSocket::tcp6_listener("::", false);
    const auto client6 = TestSocket::tcp_connection("127.0.0.1", listener6.port()); // an IPv4 client
    const std::uint16_t port = static_cast<std::uint16_t>(listener.port());
    // Other processes' sockets may have these ports on other addresses:
    // every row must have the port, and the test's own must all be there.
    const SocketRows by_port = kernel_answer({Protocol::tcp, Family::ipv4, 0, std::span(&port, 1)});
    for (const SocketRow& row : by_port)
        EXPECT_TRUE(row.local_port == network_port(port) || row.remote_port == network_port(port));
    // The listener and both ends of the connection.
    EXPECT_EQ(rows_of(by_port, Family::ipv4, {&listener, &client, &server}).size(), 3u);
    const std::uint16_t both[] = {port, static_cast<std::uint16_t>(other.port())};
    const SocketRows listening = kernel_answer({Protocol::tcp, Family::ipv4, 1u << 10, both}); // LISTEN
    for (const SocketRow& row : listening) {
        EXPECT_EQ(static_cast<unsigned>(row.state), 10u);
        EXPECT_TRUE(row.local_port == network_port(port) || row.local_port == network_port(other.port()));
    }
    EXPECT_EQ(rows_of(listening, Family::ipv4, {&listener, &other}).size(), 2u);

    // The IPv6 listener, its IPv4 client and the side it accepted (not yet
    // taken, an IPv6 socket): one answer holds both families.
    const std::uint16_t port6 = static_cast<std::uint16_t>(listener6.port());
    const SocketRows families = kernel_answer({Protocol::tcp, Family::ipv4, 0, std::span(&port6, 1)},
                                          DumpKind::tcp_both_families);
    // Another process's connection that ended in TIME_WAIT before the
    // listener took its port may still have it as its remote port: the
    // test's rows are told by their ends.
    EXPECT_EQ(std::ranges::count_if(families, [&](const SocketRow& row) {
                  return row.family == Family::ipv6 && row.local_port == network_port(port6);
              }),
              2); // the listener and the side it accepted
    EXPECT_EQ(std::ranges::count_if(families, [&](const SocketRow& row) {
                  return row.family == Family::ipv4 && sockscope_test::row_is(row, Family::ipv4, client6);
              }),
              1);
}

// TCP's two tables asked for together come from that one answer, parted
// by family: the rows of a dump of each.
TEST(SocketTable, OneDumpOfBothFamiliesGivesTheRowsOfTwo) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto listener6 = TestSocket::tcp6_listener("::1", true);
    const auto client6 = TestSocket::tcp6_connection("::1", listener6.port());
    const std::vector<const TestSocket*> sockets{&listener, &client, &listener6, &client6};
    SystemSources sources;
    sources.table = TableSource::netlink;
    const std::uint16_t port = static_cast<std::uint16_t>(listener6.port());
    for (const std::span<const std::uint16_t> ports : {std::span<const std::uint16_t>(), std::span(&port, 1)}) {
        const TableRequest tables[] = {{Protocol::tcp, Family::ipv4, 0, ports}, {Protocol::tcp, Family::ipv6, 0, ports}};
        SocketRows together;
        std::vector<std::size_t> ends;
        ASSERT_TRUE(read_socket_tables(tables, sources, together, ends).ok());
        ASSERT_EQ(ends, (std::vector<std::size_t>{ends[0], together.size()}));
        for (std::size_t table = 0; table < 2; ++table) {
            const auto from = together.begin() + static_cast<std::ptrdiff_t>(table == 0 ? 0 : ends[0]);
            const SocketRows parted(from, together.begin() + static_cast<std::ptrdiff_t>(ends[table]));
            SocketRows alone;
            ASSERT_TRUE(read_socket_table(tables[table], sources, alone).ok());
            EXPECT_EQ(rows_of(parted, tables[table].family, sockets), rows_of(alone, tables[table].family, sockets));
            // The port is the IPv6 listener's: no IPv4 socket of the test has it.
            EXPECT_EQ(rows_of(parted, tables[table].family, sockets).size(), ports.empty() || table == 1 ? 2u : 0u);
            EXPECT_EQ(std::ranges::count(parted, tables[table].family, &SocketRow::family),
                      static_cast<std::ptrdiff_t>(parted.size()));
        }
    }
}

// The kernel runs a filter expression's program itself: its answer holds
// exactly those of the test's sockets that the expression passes here,
// in each table and in TCP's answer for both families.
TEST(SocketTable, TheKernelRunsFilterExpressionsAsTheyAreReadHere) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    const auto dual = TestSocket::tcp6_listener("::", false);
    const auto client4 = TestSocket::tcp_connection("127.0.0.1", dual.port());
    const auto server4 = TestSocket::accept_from(dual); // ::ffff:127.0.0.1
    const auto client6 = TestSocket::tcp6_connection("::1", dual.port());
    const auto server6 = TestSocket::accept_from(dual);
    const auto udp = TestSocket::udp_socket("127.0.0.1");
    const auto udp6 = TestSocket::udp6_socket("::1");
    const std::vector<const TestSocket*> sockets = {&listener, &client, &server, &dual, &client4,
                                                    &server4, &client6, &server6, &udp, &udp6};
    const std::string l = std::to_string(listener.port()), d = std::to_string(dual.port()),
                      c = std::to_string(client.port()), u = std::to_string(udp.port());
    const std::string expressions[] = {
        "sport = :" + l, "dport != :" + d, "sport < :" + c, "sport > :" + c, "dport >= " + d + " sport <= 65535",
        "src 127.0.0.1", "dst 127.0.0.0/8:" + d, "src [::1]", "dst [::]", "src [::ffff:127.0.0.1]",
        "not ( src 127.0.0.1 or dport = :" + l + " )", "src *:" + d + " or sport = :" + u, "dst 0.0.0.0/0",
    };
    const struct {
        Protocol protocol;
        Family family;
        DumpKind kind;
    } tables[] = {{Protocol::tcp, Family::ipv4, DumpKind::one_family},
                  {Protocol::tcp, Family::ipv6, DumpKind::one_family},
                  {Protocol::tcp, Family::ipv4, DumpKind::tcp_both_families},
                  {Protocol::udp, Family::ipv4, DumpKind::one_family},
                  {Protocol::udp, Family::ipv6, DumpKind::one_family}};
    std::size_t seen = 0; // the test's rows in the answers: the scene is as said
    for (const auto& table : tables) {
        const SocketRows whole = kernel_answer({table.protocol, table.family, 0, {}}, table.kind);
        for (const std::string& text : expressions) {
            const ExpressionParse parse = parse_filter_expression(text);
            ASSERT_EQ(parse.error, nullptr) << text;
            SocketRows passing;
            for (const SocketRow& row : whole)
                if (parse.expression.matches(row)) passing.push_back(row);
            const SocketRows answer =
                kernel_answer({table.protocol, table.family, 0, {}, &parse.expression}, table.kind);
            for (const Family family : {Family::ipv4, Family::ipv6}) {
                const auto answered = rows_of(answer, family, sockets);
                EXPECT_EQ(answered, rows_of(passing, family, sockets))
                    << text << " (protocol " << int(table.protocol) << ", family " << int(table.family) << ")";
                seen += answered.size();
            }
        }
    }
    EXPECT_GT(seen, 40u);
}

} // namespace

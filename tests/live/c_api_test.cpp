// SPDX-License-Identifier: MIT
// The C interface (<sockscope/sockets.h>) on real sockets: what each socket
// carries (queues, peer, user, inode, cookie, v6-only, every holder with its
// descriptor and names), selections checked and filtered, and every field
// as ss prints it.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <sockscope/sockets.h>

#include "support/holding_child.h"
#include "support/loopback_sockets.h"
#include "support/own_name.h"
#include "support/ss_view.h"

using namespace sockscope_test;

namespace {

class Snapshot {
public:
    explicit Snapshot(const sockscope_selection* selection = nullptr) : snapshot_(sockscope_snapshot_take(selection)) {}
    ~Snapshot() { sockscope_snapshot_free(snapshot_); }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    const sockscope_snapshot* get() const { return snapshot_; }
    std::vector<const sockscope_socket*> sockets() const {
        std::vector<const sockscope_socket*> all;
        for (std::size_t i = 0; snapshot_ != nullptr && i < snapshot_->count; ++i)
            all.push_back(sockscope_socket_at(snapshot_, i));
        return all;
    }
    // The socket of `protocol` with these ends (a UDP socket by its local
    // end alone).
    const sockscope_socket* find(std::uint8_t protocol, const TestSocket& socket) const {
        for (const sockscope_socket* s : sockets()) {
            if (s->protocol != protocol || Endpoint{s->local_text, s->local_port} != socket.local()) continue;
            if (protocol == IPPROTO_UDP || Endpoint{s->remote_text, s->remote_port} == socket.peer()) return s;
        }
        return nullptr;
    }
    // "pid/fd/name/comm" of each owner, in order.
    std::vector<std::string> owners(const sockscope_socket* socket) const {
        std::vector<std::string> found;
        for (std::uint32_t i = 0; i < socket->owner_count; ++i) {
            const sockscope_owner* owner = sockscope_owner_at(snapshot_, socket, i);
            found.push_back(std::to_string(owner->pid) + "/" + std::to_string(owner->fd) + "/" +
                            (owner->name ? owner->name : "-") + "/" + (owner->comm ? owner->comm : "-"));
        }
        return found;
    }

private:
    sockscope_snapshot* snapshot_;
};

std::string as_owner(pid_t pid, int fd) {
    const std::string name = own_name();
    return std::to_string(pid) + "/" + std::to_string(fd) + "/" + name + "/" + name.substr(0, 15);
}

std::uint64_t inode_of(int fd) {
    struct stat file {};
    fstat(fd, &file);
    return file.st_ino;
}

std::uint64_t cookie_of(int fd) {
    std::uint64_t cookie = 0;
    socklen_t length = sizeof cookie;
    getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &length);
    return cookie;
}

TEST(CInterface, SelectionsAreChecked) {
    const auto taken = [](const sockscope_selection& selection) {
        errno = 0;
        sockscope_snapshot* snapshot = sockscope_snapshot_take(&selection);
        const int error = snapshot == nullptr ? errno : 0;
        sockscope_snapshot_free(snapshot);
        return error;
    };
    sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
    EXPECT_EQ(taken(selection), 0);
    selection.size = offsetof(sockscope_selection, expression) - 1; // shorter than any version's
    EXPECT_EQ(taken(selection), EINVAL);
    selection = SOCKSCOPE_SELECTION_INIT;
    selection.what = 0x20; // no such table
    EXPECT_EQ(taken(selection), EINVAL);
    selection = SOCKSCOPE_SELECTION_INIT;
    selection.states = SOCKSCOPE_STATE_BIT(13);
    EXPECT_EQ(taken(selection), EINVAL);
    selection = SOCKSCOPE_SELECTION_INIT;
    selection.port_count = 1; // and no ports
    EXPECT_EQ(taken(selection), EINVAL);

    // A later version's longer selection: its unknown members must be zero.
    struct {
        sockscope_selection known = SOCKSCOPE_SELECTION_INIT;
        std::uint64_t later = 0;
    } longer;
    longer.known.size = sizeof longer;
    EXPECT_EQ(taken(longer.known), 0);
    longer.later = 1;
    EXPECT_EQ(taken(longer.known), EINVAL);
    // 1.3's size, which ends before `details`, is taken; unknown details
    // or a reserved member set are not.
    selection = SOCKSCOPE_SELECTION_INIT;
    selection.size = offsetof(sockscope_selection, details);
    EXPECT_EQ(taken(selection), 0);
    for (const auto& [details, reserved] : {std::pair{0x8u, 0u}, std::pair{0u, 1u}}) {
        selection = SOCKSCOPE_SELECTION_INIT;
        selection.details = details;
        selection.reserved = reserved;
        EXPECT_EQ(taken(selection), EINVAL) << details << " " << reserved;
    }

    Snapshot everything; // a null selection asks for every table
    ASSERT_NE(everything.get(), nullptr);
    EXPECT_EQ(everything.get()->size, sizeof(sockscope_snapshot));
    EXPECT_EQ(everything.get()->socket_size, sizeof(sockscope_socket));
}

TEST(CInterface, EverySocketCarriesWhatTheKernelSays) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    const std::string unread(5000, 'x');
    ASSERT_EQ(send(client.fd(), unread.data(), unread.size(), 0), 5000);
    const auto pending = TestSocket::tcp_connection("127.0.0.1", listener.port()); // not accepted
    const auto unconnected = TestSocket::udp_socket("127.0.0.1");
    const auto connected = TestSocket::udp_socket("127.0.0.1");
    const sockaddr_in discard{AF_INET, htons(9), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(connect(connected.fd(), reinterpret_cast<const sockaddr*>(&discard), sizeof discard), 0);
    const auto dual_stack = TestSocket::tcp6_listener("::", false);
    const auto v6_only = TestSocket::tcp6_listener("::", true);

    Snapshot snapshot;
    ASSERT_NE(snapshot.get(), nullptr);
    const sockscope_socket* listening = snapshot.find(IPPROTO_TCP, listener);
    ASSERT_NE(listening, nullptr);
    EXPECT_STREQ(listening->state_name, "LISTEN");
    EXPECT_EQ(listening->receive_queue, 1u); // one connection waits to be accepted
    EXPECT_EQ(listening->send_queue, 64u);   // of 64 (TestSocket's backlog)
    EXPECT_EQ(listening->uid, geteuid());
    EXPECT_EQ(listening->inode, inode_of(listener.fd()));
    EXPECT_EQ(listening->cookie, cookie_of(listener.fd()));
    EXPECT_EQ(snapshot.owners(listening), std::vector{as_owner(getpid(), listener.fd())});

    const sockscope_socket* server_end = snapshot.find(IPPROTO_TCP, server);
    ASSERT_NE(server_end, nullptr);
    EXPECT_EQ(server_end->state, SOCKSCOPE_ESTABLISHED);
    EXPECT_EQ(server_end->receive_queue, 5000u);

    const sockscope_socket* unconnected_udp = snapshot.find(IPPROTO_UDP, unconnected);
    ASSERT_NE(unconnected_udp, nullptr);
    EXPECT_STREQ(unconnected_udp->state_name, "UNCONN");
    EXPECT_STREQ(unconnected_udp->remote_text, "0.0.0.0");
    const sockscope_socket* connected_udp = snapshot.find(IPPROTO_UDP, connected);
    ASSERT_NE(connected_udp, nullptr);
    EXPECT_STREQ(connected_udp->state_name, "ESTABLISHED");
    EXPECT_STREQ(connected_udp->remote_text, "127.0.0.1");
    EXPECT_EQ(connected_udp->remote_port, 9u);

    const sockscope_socket* both = snapshot.find(IPPROTO_TCP, dual_stack);
    const sockscope_socket* six = snapshot.find(IPPROTO_TCP, v6_only);
    ASSERT_NE(both, nullptr);
    ASSERT_NE(six, nullptr);
    EXPECT_EQ(both->family, AF_INET6);
    EXPECT_EQ(both->v6only, 0u);
    EXPECT_EQ(six->v6only, 1u);
}

// A listener a server shares with the worker it forked has both as holders,
// each with its descriptor, lowest id first. The two have the same names,
// which a snapshot holds once: each snapshot its own copy, whole after the
// one before it is freed.
TEST(CInterface, EveryHolderOfASharedSocket) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    HoldingChild worker([] { return 0; });
    ASSERT_EQ(worker.reported(), 0);
    auto holders = std::vector{as_owner(getpid(), listener.fd()), as_owner(worker.pid(), listener.fd())};
    if (worker.pid() < getpid()) std::swap(holders[0], holders[1]); // ids wrap
    for (int round = 0; round < 2; ++round) {
        Snapshot snapshot;
        const sockscope_socket* listening = snapshot.find(IPPROTO_TCP, listener);
        ASSERT_NE(listening, nullptr);
        EXPECT_EQ(snapshot.owners(listening), holders);
        const sockscope_owner* first = sockscope_owner_at(snapshot.get(), listening, 0);
        const sockscope_owner* second = sockscope_owner_at(snapshot.get(), listening, 1);
        EXPECT_EQ(first->name, second->name);
        EXPECT_EQ(first->comm, second->comm);
    }
}

TEST(CInterface, SelectionsFilterPortsAndStates) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    const auto other = TestSocket::tcp_listener("127.0.0.1");
    const auto udp = TestSocket::udp_socket("127.0.0.1");
    const std::uint16_t ports[] = {static_cast<std::uint16_t>(listener.port()), static_cast<std::uint16_t>(udp.port())};

    sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
    selection.ports = ports;
    selection.port_count = 2;
    Snapshot by_port(&selection);
    ASSERT_NE(by_port.get(), nullptr);
    for (const sockscope_socket* s : by_port.sockets())
        EXPECT_TRUE(s->local_port == ports[0] || s->remote_port == ports[0] || s->local_port == ports[1] ||
                    s->remote_port == ports[1])
            << s->local_text << ":" << s->local_port;
    EXPECT_NE(by_port.find(IPPROTO_TCP, listener), nullptr);
    EXPECT_NE(by_port.find(IPPROTO_TCP, client), nullptr); // its peer's port
    EXPECT_NE(by_port.find(IPPROTO_TCP, server), nullptr);
    EXPECT_NE(by_port.find(IPPROTO_UDP, udp), nullptr);
    EXPECT_EQ(by_port.find(IPPROTO_TCP, other), nullptr);

    selection.what = SOCKSCOPE_TCP;
    selection.states = SOCKSCOPE_STATE_BIT(SOCKSCOPE_LISTEN);
    Snapshot listening(&selection);
    ASSERT_NE(listening.get(), nullptr);
    for (const sockscope_socket* s : listening.sockets()) EXPECT_EQ(s->state, SOCKSCOPE_LISTEN);
    EXPECT_NE(listening.find(IPPROTO_TCP, listener), nullptr);
    EXPECT_EQ(listening.find(IPPROTO_UDP, udp), nullptr);
}

// A filter expression selects with the rest; a selection of 1.2's size
// has none; a bad one fails the call, and the check says where.
TEST(CInterface, SelectionsTakeFilterExpressions) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    const std::uint16_t port = static_cast<std::uint16_t>(listener.port());
    const std::string expression = "state established dport = :" + std::to_string(port);
    sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
    selection.ports = &port;
    selection.port_count = 1;
    selection.expression = expression.c_str();
    Snapshot filtered(&selection);
    ASSERT_NE(filtered.get(), nullptr);
    ASSERT_EQ(filtered.sockets().size(), 1u);
    EXPECT_NE(filtered.find(IPPROTO_TCP, client), nullptr);
    selection.size = offsetof(sockscope_selection, expression);
    Snapshot older(&selection);
    EXPECT_NE(older.find(IPPROTO_TCP, listener), nullptr);
    EXPECT_NE(older.find(IPPROTO_TCP, server), nullptr);
    // A size that ends inside the expression's pointer is refused, not read.
    selection.size = offsetof(sockscope_selection, expression) + 4;
    errno = 0;
    EXPECT_EQ(sockscope_snapshot_take(&selection), nullptr);
    EXPECT_EQ(errno, EINVAL);

    selection = SOCKSCOPE_SELECTION_INIT;
    selection.expression = "dport = :x";
    errno = 0;
    EXPECT_EQ(sockscope_snapshot_take(&selection), nullptr);
    EXPECT_EQ(errno, EINVAL);
    std::size_t position = 0;
    const char* reason = nullptr;
    EXPECT_EQ(sockscope_expression_check("src 10.0.0.1 or", &position, &reason), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(position, 15u);
    EXPECT_STREQ(reason, "the expression ends too early");
    errno = EDOM;
    EXPECT_EQ(sockscope_expression_check(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(sockscope_expression_check("src [::1]:22", nullptr, nullptr), 0);
    EXPECT_EQ(errno, EDOM);
}

// ss -tanpe and -uanpe on the same sockets, field by field: queues, both
// ends, every holder with its descriptor, uid, inode, cookie, v6-only.
TEST(CInterface, AgreesWithSsFieldByField) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    ASSERT_EQ(send(client.fd(), "12345", 5, 0), 5);
    HoldingChild sharer([] { return 0; }); // every socket above has two holders
    ASSERT_EQ(sharer.reported(), 0);
    const auto dual_stack = TestSocket::tcp6_listener("::", false);
    const auto v6_only = TestSocket::tcp6_listener("::", true);
    const auto udp = TestSocket::udp_socket("127.0.0.1");

    Snapshot snapshot;
    ASSERT_NE(snapshot.get(), nullptr);
    // A table each: another process's socket of the other protocol may have
    // the same ends and queues as one of ours.
    std::map<std::uint8_t, std::map<std::string, std::string>> ss = {{IPPROTO_TCP, ss_sockets("ss -tanpeH")},
                                                                    {IPPROTO_UDP, ss_sockets("ss -uanpeH")}};
    int compared = 0;
    for (const auto& [protocol, socket] : std::vector<std::pair<std::uint8_t, const TestSocket*>>{
             {IPPROTO_TCP, &listener}, {IPPROTO_TCP, &client}, {IPPROTO_TCP, &server}, {IPPROTO_TCP, &dual_stack},
             {IPPROTO_TCP, &v6_only}, {IPPROTO_UDP, &udp}}) {
        const sockscope_socket* ours = snapshot.find(protocol, *socket);
        ASSERT_NE(ours, nullptr) << socket->local().address << ":" << socket->port();
        const std::string expected = as_ss_writes(snapshot.get(), ours);
        EXPECT_EQ(ss[protocol][ss_key(expected)], expected);
        ++compared;
    }
    EXPECT_EQ(compared, 6);
}

// A selection of the IPv4 TCP sockets with `port` at either end.
// A walk gives a snapshot's sockets, one at a time: the same fields, the
// same owners, each socket whole while it is the one asked for.
TEST(CInterface, AWalkGivesWhatASnapshotGives) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto accepted = TestSocket::accept_from(listener);
    HoldingChild sharer([] { return 0; }); // every socket above has two holders
    ASSERT_EQ(sharer.reported(), 0);
    const Snapshot snapshot;
    sockscope_walk* walk = sockscope_walk_start(nullptr);
    ASSERT_NE(walk, nullptr);
    const sockscope_snapshot* header = sockscope_walk_header(walk);
    EXPECT_EQ(header->socket_size, sizeof(sockscope_socket));
    EXPECT_EQ(header->owner_size, sizeof(sockscope_owner));
    EXPECT_EQ(header->sockets, nullptr);
    int ours = 0;
    for (std::size_t i = 0; i < header->count; ++i) {
        const sockscope_socket* walked = sockscope_walk_socket(walk, i);
        if (walked->inode != inode_of(listener.fd()) && walked->inode != inode_of(client.fd()) &&
            walked->inode != inode_of(accepted.fd()))
            continue;
        const sockscope_socket* taken = nullptr;
        for (const sockscope_socket* s : snapshot.sockets())
            if (s->cookie == walked->cookie && s->protocol == walked->protocol) taken = s;
        ASSERT_NE(taken, nullptr);
        ++ours;
        EXPECT_STREQ(walked->local_text, taken->local_text);
        EXPECT_STREQ(walked->remote_text, taken->remote_text);
        EXPECT_EQ(walked->local_port, taken->local_port);
        EXPECT_EQ(walked->remote_port, taken->remote_port);
        EXPECT_STREQ(walked->state_name, taken->state_name);
        std::vector<std::string> owners;
        for (std::uint32_t o = 0; o < walked->owner_count; ++o) {
            const sockscope_owner* owner = sockscope_owner_at(header, walked, o);
            owners.push_back(std::to_string(owner->pid) + "/" + std::to_string(owner->fd) + "/" +
                             (owner->name ? owner->name : "-") + "/" + (owner->comm ? owner->comm : "-"));
        }
        EXPECT_EQ(owners, snapshot.owners(taken));
        EXPECT_EQ(owners.size(), 2u);
    }
    EXPECT_EQ(ours, 3);
    errno = 0;
    EXPECT_EQ(sockscope_walk_socket(walk, header->count), nullptr);
    EXPECT_EQ(errno, EINVAL);
    sockscope_walk_end(walk);
    errno = 0;
    EXPECT_EQ(sockscope_walk_header(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    sockscope_walk_end(nullptr);
}

sockscope_selection tcp4_on_port(const std::uint16_t& port) {
    sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
    selection.what = SOCKSCOPE_TCP | SOCKSCOPE_IPV4;
    selection.ports = &port;
    selection.port_count = 1;
    return selection;
}

TEST(CInterface, DetailsAreWhatTheKernelKeeps) {
    // A connection whose reader has not read: its data waits in the
    // receiver's buffer; the sender probes with keepalive.
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    const int on = 1, idle = 600;
    ASSERT_EQ(setsockopt(client.fd(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on), 0);
    ASSERT_EQ(setsockopt(client.fd(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle), 0);
    const std::vector<char> data(20000, 'x');
    ASSERT_EQ(send(client.fd(), data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    const std::uint16_t port = static_cast<std::uint16_t>(listener.port());
    sockscope_selection selection = tcp4_on_port(port);

    // Until everything sent is acknowledged, the sender's timer is the
    // retransmission's: bounded waits for the acknowledgement.
    for (int tries = 0; tries < 100; ++tries) {
        selection.details = SOCKSCOPE_TCP_INFO | SOCKSCOPE_TIMER | SOCKSCOPE_MEMORY;
        const Snapshot with(&selection);
        ASSERT_NE(with.get(), nullptr);
        const sockscope_socket* sender = with.find(IPPROTO_TCP, client);
        const sockscope_socket* receiver = with.find(IPPROTO_TCP, server);
        ASSERT_NE(sender, nullptr);
        ASSERT_NE(receiver, nullptr);
        ASSERT_TRUE(sender->tcp_info && sender->timer && sender->memory && receiver->tcp_info && receiver->memory);
        if (sender->tcp_info->bytes_acked < data.size() + 1) { // the SYN counts one
            usleep(10000);
            continue;
        }
        EXPECT_EQ(sender->timer->size, sizeof(sockscope_timer));
        EXPECT_EQ(sender->timer->kind, SOCKSCOPE_TIMER_KEEPALIVE);
        EXPECT_GT(sender->timer->expires_ms, 0u);
        EXPECT_LE(sender->timer->expires_ms, idle * 1000u);
        EXPECT_EQ(receiver->tcp_info->bytes_received, data.size());
        EXPECT_GE(receiver->memory->receive_allocated, data.size()); // with the buffers' overhead
        EXPECT_EQ(receiver->receive_queue, data.size());
        for (const sockscope_socket* end : {sender, receiver}) {
            EXPECT_GT(end->tcp_info->rtt, 0u);
            EXPECT_GT(end->tcp_info->send_mss, 0u);
            EXPECT_GT(end->memory->receive_buffer, 0u);
            ASSERT_NE(end->tcp_info->congestion, nullptr);
            EXPECT_GT(std::strlen(end->tcp_info->congestion), 0u);
        }
        // Only what is asked for, and a plain snapshot has none.
        selection.details = SOCKSCOPE_MEMORY;
        const Snapshot memory_only(&selection);
        const sockscope_socket* alone = memory_only.find(IPPROTO_TCP, server);
        ASSERT_NE(alone, nullptr);
        EXPECT_TRUE(alone->memory != nullptr && alone->tcp_info == nullptr && alone->timer == nullptr);
        selection.details = 0;
        const Snapshot plain(&selection);
        for (const sockscope_socket* s : plain.sockets())
            EXPECT_TRUE(s->memory == nullptr && s->tcp_info == nullptr && s->timer == nullptr);
        return;
    }
    FAIL() << "the data sent was not acknowledged in a second";
}

TEST(CInterface, ClosedConnectionsWaitWithTheTimeWaitTimer) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    std::optional<TestSocket> client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const Endpoint local = client->local();
    std::optional<TestSocket> server = TestSocket::accept_from(listener);
    client.reset(); // the active close: the client's end waits in TIME_WAIT
    server.reset(); // once the server's end has closed too
    const std::uint16_t port = static_cast<std::uint16_t>(local.port);
    sockscope_selection selection = tcp4_on_port(port);
    selection.states = SOCKSCOPE_STATE_BIT(SOCKSCOPE_TIME_WAIT);
    selection.details = SOCKSCOPE_TIMER;
    for (int tries = 0; tries < 100; ++tries) {
        const Snapshot snapshot(&selection);
        ASSERT_NE(snapshot.get(), nullptr);
        if (snapshot.get()->count == 0) {
            usleep(10000);
            continue;
        }
        const sockscope_socket* waiting = sockscope_socket_at(snapshot.get(), 0);
        ASSERT_NE(waiting->timer, nullptr);
        EXPECT_EQ(waiting->timer->kind, SOCKSCOPE_TIMER_TIME_WAIT);
        EXPECT_GT(waiting->timer->expires_ms, 0u);
        EXPECT_LE(waiting->timer->expires_ms, 60000u);
        return;
    }
    FAIL() << "no TIME_WAIT socket on port " << port << " in a second";
}

TEST(CInterface, DestroyingAbortsTheSocketsSelectedAndNoOther) {
    const auto listener = TestSocket::tcp_listener("127.0.0.1");
    const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto server = TestSocket::accept_from(listener);
    const auto bystander = TestSocket::tcp_connection("127.0.0.1", listener.port());
    const auto bystander_server = TestSocket::accept_from(listener);
    const std::uint16_t port = static_cast<std::uint16_t>(listener.port());
    const std::string client_end = "sport = :" + std::to_string(client.local().port);
    sockscope_selection selection = tcp4_on_port(port);
    selection.expression = client_end.c_str();
    const Snapshot before(&selection);
    ASSERT_NE(before.get(), nullptr);
    ASSERT_EQ(before.get()->count, 1u);

    std::size_t destroyed = 9, refused = 9;
    ASSERT_EQ(sockscope_sockets_destroy(&selection, &destroyed, &refused), 0) << std::strerror(errno);
    EXPECT_EQ(destroyed, 1u);
    EXPECT_EQ(refused, 0u);
    char byte;
    EXPECT_EQ(recv(server.fd(), &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET); // the peer of the destroyed end was reset
    EXPECT_EQ(send(bystander.fd(), "x", 1, 0), 1); // and no other connection touched
    EXPECT_EQ(recv(bystander_server.fd(), &byte, 1, 0), 1);

    // Its record names it, and nothing made since: it is gone.
    errno = 0;
    EXPECT_EQ(sockscope_socket_destroy(sockscope_socket_at(before.get(), 0)), -1);
    EXPECT_EQ(errno, ENOENT);
    selection.what |= SOCKSCOPE_ALL_NAMESPACES;
    for (const sockscope_selection* asked : {static_cast<const sockscope_selection*>(nullptr), &std::as_const(selection)}) {
        errno = 0;
        EXPECT_EQ(sockscope_sockets_destroy(asked, &destroyed, nullptr), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    errno = 0;
    EXPECT_EQ(sockscope_socket_destroy(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

} // namespace

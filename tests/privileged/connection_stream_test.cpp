// SPDX-License-Identifier: MIT
// The connection stream, live: named processes that the tests start make
// and close connections, and the stream must report each one once, with
// the right owner on each side and the right ending. Skipped where the
// kernel can't run the programs.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <stdexcept>
#include <iostream>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/bpf.h>
#include <linux/capability.h>
#include <map>
#include <netinet/in.h>
#include <sched.h>
#include <set>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "support/child_process.h"
#include "support/connection_stream_checks.h"
#include "support/isolated_child.h"
#include "support/loopback_sockets.h"
#include "support/refuse_bpf.h"
#include "support/socket_descriptors.h"

using namespace sockscope_test;
using namespace sockscope_detail;

namespace {

using Kind = ConnectionKind;
using Side = ConnectionSide;

// Runs `check` where it reports "" (pass), "skip: why" or a fault.
#define EXPECT_CHECK_PASSES(check)                                                                                     \
    do {                                                                                                               \
        const std::string fault_ = (check);                                                                            \
        if (fault_.rfind("skip:", 0) == 0) GTEST_SKIP() << fault_;                                                     \
        EXPECT_EQ(fault_, "");                                                                                         \
    } while (0)

// A TCP socket bound to 127.0.0.1, port chosen by the kernel, listening
// with `backlog` unless that is negative.
struct BoundSocket {
    explicit BoundSocket(int backlog) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            (backlog >= 0 && listen(fd, backlog) != 0) ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("bound socket failed");
        port = ntohs(address.sin_port);
    }
    ~BoundSocket() { close(fd); }
    BoundSocket(const BoundSocket&) = delete;
    BoundSocket& operator=(const BoundSocket&) = delete;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unsigned port = 0;
};

std::string expect_owner(const ConnectionRecord& record, pid_t pid, const std::string& name, OwnerSource source) {
    if (record.pid != static_cast<std::uint32_t>(pid) || record.name != name || record.owner_source != source)
        return "a record names " + std::to_string(record.pid) + " " + record.name + " (source " +
               std::to_string(static_cast<int>(record.owner_source)) + "), not " + std::to_string(pid) + " " + name;
    return "";
}

// Where an accepted socket's record takes its owner from: accept's return
// where a program sees it; else its listener's, until the server's first
// receive (the peers' servers read before they close).
OwnerSource accepted_source(const ConnectionStream* stream, Kind kind) {
    const Result<ConnectionStreamDebug> debug = connection_stream_debug(stream);
    const std::string_view hook = debug ? debug->accept_hook : "";
    if (hook == "fexit/inet_csk_accept" || hook == "tp_btf/sys_exit") return OwnerSource::accept;
    return kind == Kind::opened ? OwnerSource::listener : OwnerSource::first_call;
}

// `count` connections from a client to a server, both named processes,
// on `address` inside a network namespace made for it: every connection
// must open and close once on each side, with its owner there.
std::string burst_in_own_network_namespace(const char* address, unsigned count, bool accept_at_syscall_exit = false) {
    const std::string server_name = unique_name("stream-server-"), client_name = unique_name("stream-client-");
    const std::string server_program = connection_peer_named(server_name);
    const std::string client_program = connection_peer_named(client_name);
    return run_isolated([&]() -> std::string {
        if (unshare(CLONE_NEWNET) != 0) return "skip: can't make a network namespace";
        if (std::system("ip link set lo up >/dev/null 2>&1") != 0) return "skip: ip can't bring up loopback";
        const std::uint64_t own_namespace = namespace_inode("net");
        std::string why;
        ConnectionStreamOptions options;
        options.report_opens = true;
        options.accept_at_syscall_exit = accept_at_syscall_exit;
        const Stream stream = open_stream(options, why);
        if (!stream) return why;
        try {
            ChildProcess server(server_program, {"serve", address, std::to_string(count)});
            const unsigned port = server.ports().at(0);
            ChildProcess client(client_program, {"connect", address, std::to_string(port), std::to_string(count)});
            const auto ends_closed = [&](const Records& records) {
                const Records closed = on_port(records, address, port, Kind::closed);
                return count_side(closed, Side::accept) == count && count_side(closed, Side::connect) == count;
            };
            Records records = read_until(stream.get(), ends_closed);
            const pid_t server_pid = server.pid();
            server.stop();
            const Records more = read_until(stream.get(), [&](const Records& got) {
                return count_side(on_port(got, address, port, Kind::closed), Side::listen) == 1;
            });
            records.insert(records.end(), more.begin(), more.end());

            std::map<std::uint64_t, std::pair<int, int>> seen; // cookie: opens, closes
            std::set<unsigned> client_ports;
            for (const auto& record : records) {
                if (record.network_namespace != own_namespace) continue;
                if (record.local_port != port && record.remote_port != port) return "a record of another connection";
                (record.kind == Kind::opened ? seen[record.cookie].first : seen[record.cookie].second)++;
                const bool client_end = record.side == Side::connect;
                const auto fault = client_end ? expect_owner(record, client.pid(), client_name, OwnerSource::connect)
                                   : record.side == Side::accept
                                       ? expect_owner(record, server_pid, server_name,
                                                      accepted_source(stream.get(), record.kind))
                                       : expect_owner(record, server_pid, server_name, OwnerSource::listen);
                if (!fault.empty()) return fault;
                if (address_text(record, true) != address) return "local address " + address_text(record, true);
                if (record.kind == Kind::opened) continue;
                if (record.end != ConnectionEnd::normal) return "a connection did not end normally";
                if (record.lifetime_ns < 0 || record.closed_ns - record.opened_ns != record.lifetime_ns)
                    return "lifetime " + std::to_string(record.lifetime_ns);
                // "hello": payload, without the SYN and FINs the kernel counts.
                if (client_end && (record.bytes_sent != 5 || !client_ports.insert(record.local_port).second))
                    return "a client end sent " + std::to_string(record.bytes_sent) + " bytes or came twice";
                if (record.side == Side::accept && record.bytes_received != 5)
                    return "a server end received " + std::to_string(record.bytes_received) + " bytes";
            }
            if (seen.size() != 2 * count + 1) return std::to_string(seen.size()) + " sockets seen";
            for (const auto& [cookie, kinds] : seen)
                if (kinds != std::pair{1, 1}) return "a socket did not open and close once each";
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    });
}

TEST(ConnectionStream, BurstOverIpv4HasOwnersOnBothSides) {
    EXPECT_CHECK_PASSES(burst_in_own_network_namespace("127.0.0.1", 100));
}

TEST(ConnectionStream, BurstOverIpv6HasOwnersOnBothSides) {
    EXPECT_CHECK_PASSES(burst_in_own_network_namespace("::1", 100));
}

TEST(ConnectionStream, BurstWithAcceptsAtTheSystemCallExitHasOwnersOnBothSides) {
    EXPECT_CHECK_PASSES(burst_in_own_network_namespace("127.0.0.1", 20, true));
}

TEST(ConnectionStream, CallerInAPidNamespaceGetsItsNumbers) {
    const std::string server_name = unique_name("stream-server-"), client_name = unique_name("stream-client-");
    const std::string server_program = connection_peer_named(server_name);
    const std::string client_program = connection_peer_named(client_name);
    EXPECT_CHECK_PASSES(run_as_pid_namespace_init([&]() -> std::string {
        std::string why;
        const Stream stream = open_stream({}, why);
        if (!stream) return why;
        try {
            ChildProcess server(server_program, {"serve", "127.0.0.1", "3"});
            const unsigned port = server.ports().at(0);
            ChildProcess client(client_program, {"connect", "127.0.0.1", std::to_string(port), "3"});
            const auto ends = [&](const Records& records) { return on_port(records, "127.0.0.1", port, Kind::closed); };
            const Records closed =
                ends(read_until(stream.get(), [&](const Records& records) { return ends(records).size() == 6; }));
            if (closed.size() != 6) return std::to_string(closed.size()) + " connection ends seen, not 6";
            for (const auto& record : closed) {
                const bool client_end = record.side == Side::connect;
                const auto fault = expect_owner(record, client_end ? client.pid() : server.pid(),
                                                client_end ? client_name : server_name,
                                                client_end ? OwnerSource::connect
                                                           : accepted_source(stream.get(), record.kind));
                if (!fault.empty()) return fault;
            }
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }));
}

TEST(ConnectionStream, SocketsOpenBeforeTheStreamHaveTheirHolders) {
    const std::string server_name = unique_name("stream-server-"), client_name = unique_name("stream-client-");
    ChildProcess server(connection_peer_named(server_name), {"serve", "127.0.0.1", "1"});
    const unsigned port = server.ports().at(0);
    ChildProcess client(connection_peer_named(client_name), {"hold", "127.0.0.1", std::to_string(port)});
    // The server has accepted once it holds two sockets.
    for (int waited = 0; socket_descriptors_from_proc(server.pid()).size() < 2 && waited < 500; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::string why;
    const Stream stream = open_stream({}, why);
    if (!stream) GTEST_SKIP() << why;
    const pid_t server_pid = server.pid(), client_pid = client.pid();
    client.stop();
    Records closed = on_port(read_until(stream.get(),
                                        [&](const Records& got) {
                                            return on_port(got, "127.0.0.1", port, Kind::closed).size() == 2;
                                        }),
                             "127.0.0.1", port, Kind::closed);
    server.stop();
    const Records listener = on_port(read_until(stream.get(),
                                                [&](const Records& got) {
                                                    return !on_port(got, "127.0.0.1", port, Kind::closed).empty();
                                                }),
                                     "127.0.0.1", port, Kind::closed);
    closed.insert(closed.end(), listener.begin(), listener.end());

    ASSERT_EQ(closed.size(), 3u);
    for (const auto& record : closed) {
        const bool client_end = record.local_port != port;
        EXPECT_EQ(expect_owner(record, client_end ? client_pid : server_pid, client_end ? client_name : server_name,
                               OwnerSource::snapshot),
                  "");
        EXPECT_TRUE(record.flags & connection_open_unseen);
        EXPECT_EQ(record.opened_ns, 0);
        EXPECT_EQ(record.lifetime_ns, -1);
        EXPECT_EQ(record.end, ConnectionEnd::normal);
    }
    EXPECT_EQ(count_side(closed, Side::listen), 1u);
}

TEST(ConnectionStream, ResetsTimeoutsAndRefusalsAreToldApart) {
    std::string why;
    // The records are read once the clients are done, a second or more
    // later: room for what other processes' connections write meanwhile.
    ConnectionStreamOptions roomy;
    roomy.buffer_bytes = std::size_t{64} << 20;
    const Stream stream = open_stream(roomy, why);
    if (!stream) GTEST_SKIP() << why;
    const std::string client_name = unique_name("stream-client-");
    const std::string client_program = connection_peer_named(client_name);

    // A reset: the client aborts, the server is told so.
    ChildProcess server(connection_peer_named(unique_name("stream-server-")), {"serve", "127.0.0.1", "1"});
    const unsigned port = server.ports().at(0);
    ChildProcess resetting(client_program, {"reset", "127.0.0.1", std::to_string(port)});
    // A refusal: a port that is bound but not listening.
    const BoundSocket closed_port(-1);
    const unsigned refusing_port = closed_port.port;
    ChildProcess refused(client_program, {"try", "127.0.0.1", std::to_string(refusing_port)});
    // A timeout: a listener whose queue is full drops further connection
    // requests unanswered.
    const BoundSocket full(0);
    const unsigned full_port = full.port;
    const auto queued = TestSocket::tcp_connection("127.0.0.1", full_port);
    ChildProcess timed_out(client_program, {"try", "127.0.0.1", std::to_string(full_port)});
    EXPECT_EQ(refused.ports().at(0), static_cast<unsigned>(ECONNREFUSED));
    EXPECT_EQ(timed_out.ports().at(0), static_cast<unsigned>(ETIMEDOUT));

    const auto ended = [](const Records& records, unsigned on, ConnectionEnd end, Side side) {
        for (const auto& record : on_port(records, "127.0.0.1", on, Kind::closed))
            if (record.end == end && record.side == side) return true;
        return false;
    };
    std::uint64_t lost = 0;
    const Records records = read_until(
        stream.get(),
        [&](const Records& got) {
            return ended(got, port, ConnectionEnd::reset_sent, Side::connect) &&
                   ended(got, port, ConnectionEnd::reset_received, Side::accept) &&
                   ended(got, refusing_port, ConnectionEnd::refused, Side::connect) &&
                   ended(got, full_port, ConnectionEnd::timed_out, Side::connect);
        },
        &lost);
    EXPECT_EQ(lost, 0u);
    EXPECT_TRUE(ended(records, port, ConnectionEnd::reset_sent, Side::connect));
    EXPECT_TRUE(ended(records, port, ConnectionEnd::reset_received, Side::accept));
    EXPECT_TRUE(ended(records, refusing_port, ConnectionEnd::refused, Side::connect));
    EXPECT_TRUE(ended(records, full_port, ConnectionEnd::timed_out, Side::connect));
    // Only the test's connections: another process's may have one of these
    // ports as its remote one, at another address or in another namespace.
    const std::map<unsigned, pid_t> clients{
        {port, resetting.pid()}, {refusing_port, refused.pid()}, {full_port, timed_out.pid()}};
    for (const auto& [on, client] : clients)
        for (const auto& record : on_port(records, "127.0.0.1", on, Kind::closed))
            if (record.side == Side::connect) {
                EXPECT_EQ(expect_owner(record, client, client_name, OwnerSource::connect), "");
            }
}

TEST(ConnectionStream, StalledReaderIsToldHowManyWereLost) {
    std::string why;
    ConnectionStreamOptions small;
    small.buffer_bytes = 4096; // room for some 19 records
    const Stream stream = open_stream(small, why);
    if (!stream) GTEST_SKIP() << why;
    {
        const auto listener = TestSocket::tcp_listener("127.0.0.1");
        for (int i = 0; i < 40; ++i) {
            const auto client = TestSocket::tcp_connection("127.0.0.1", listener.port());
            const auto server = TestSocket::accept_from(listener);
        }
    }
    // Other processes' connections may come meanwhile: the losses read
    // must add up to the kernel's count, taken before and after the last
    // read.
    ConnectionRecord records[256];
    std::uint64_t reported = 0, lost = 0;
    std::size_t got = 1;
    for (int reads = 0; reads < 100 && got > 0; ++reads) {
        const Result<std::size_t> read = read_connection_records(stream.get(), records, 256, &lost);
        ASSERT_TRUE(read) << std::strerror(read.error());
        got = *read;
        reported += lost;
    }
    EXPECT_GT(reported, 0u);
    const Result<ConnectionStreamDebug> before = connection_stream_debug(stream.get());
    ASSERT_TRUE(before);
    EXPECT_TRUE(read_connection_records(stream.get(), records, 256, &lost));
    reported += lost;
    const Result<ConnectionStreamDebug> after = connection_stream_debug(stream.get());
    ASSERT_TRUE(after);
    EXPECT_GE(reported, before->lost) << "a loss was not reported";
    EXPECT_LE(reported, after->lost) << "a loss was reported twice";
}

TEST(ConnectionStream, HooksAreReported) {
    std::string why;
    const Stream stream = open_stream({}, why);
    if (!stream) GTEST_SKIP() << why;
    Result<ConnectionStreamDebug> debug = connection_stream_debug(stream.get());
    ASSERT_TRUE(debug);
    EXPECT_STREQ(debug->state_hook, "tp_btf/inet_sock_set_state");
    if (std::strcmp(debug->accept_hook, "fexit/inet_csk_accept") != 0) {
        // No hook on every system call unless asked for ("none": a kernel
        // without the send and receive tracepoints).
        const std::string_view hook = debug->accept_hook;
        EXPECT_TRUE(hook == "tp_btf/sock_send_length+sock_recv_length" || hook == "none") << hook;
        EXPECT_NE(debug->accept_function_refused, 0);
        ConnectionStreamOptions asked;
        asked.accept_at_syscall_exit = true;
        const Stream exact = open_stream(asked, why);
        ASSERT_TRUE(exact) << why;
        debug = connection_stream_debug(exact.get());
        ASSERT_TRUE(debug);
        EXPECT_STREQ(debug->accept_hook, "tp_btf/sys_exit");
    }
    EXPECT_FALSE(debug->loaded_by_libbpf) << "the quick load fell back to libbpf's";
    std::cout << "accept hook: " << debug->accept_hook << " (fexit refused: "
              << std::strerror(debug->accept_function_refused) << ")\n";
}

// Capabilities of this process, with `drop` taken out of every set.
bool drop_capabilities(std::initializer_list<int> drop) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[2]{};
    if (syscall(SYS_capget, &header, sets) != 0) return false;
    for (const int capability : drop) {
        const unsigned bit = 1u << (capability % 32);
        sets[capability / 32].effective &= ~bit;
        sets[capability / 32].permitted &= ~bit;
        sets[capability / 32].inheritable &= ~bit;
    }
    return syscall(SYS_capset, &header, sets) == 0;
}

std::size_t open_descriptors() {
    std::size_t count = 0;
    if (DIR* listing = opendir("/proc/self/fd")) {
        while (readdir(listing) != nullptr) ++count;
        closedir(listing);
    }
    return count;
}

// Opening a stream in `situation` (set up in a child) must fail with
// `expected` and leave no descriptor behind.
std::string open_fails_with(int expected, const std::function<bool()>& situation) {
    return run_isolated([&]() -> std::string {
        const std::size_t descriptors = open_descriptors();
        if (!situation()) return "skip: cannot set up the situation";
        const Result<ConnectionStream*> stream = open_connection_stream({});
        if (stream) {
            close_connection_stream(*stream);
            return "the stream opened";
        }
        const int error = stream.error();
        if (error == ENOTSUP) return "skip: no stream here at all";
        if (error != expected) return std::string("errno ") + std::strerror(error);
        return open_descriptors() == descriptors ? "" : "a failed open left descriptors behind";
    });
}

TEST(ConnectionStream, WithoutPrivilegeOpeningFailsWithEperm) {
    if (geteuid() != 0) GTEST_SKIP() << "not root";
    EXPECT_CHECK_PASSES(open_fails_with(EPERM, [] { return drop_capabilities({CAP_SYS_ADMIN, CAP_BPF, CAP_PERFMON}); }));
    // A user namespace of its own: every capability there, none that counts.
    EXPECT_CHECK_PASSES(open_fails_with(EPERM, [] { return unshare(CLONE_NEWUSER) == 0; }));
}

TEST(ConnectionStream, RefusedStepsLeaveNothingBehind) {
    std::string why;
    if (!open_stream({}, why)) GTEST_SKIP() << why;
    EXPECT_CHECK_PASSES(open_fails_with(EPERM, [] { return refuse_bpf_command(BPF_PROG_LOAD); }));
    EXPECT_CHECK_PASSES(open_fails_with(EPERM, [] { return refuse_bpf_command(BPF_LINK_CREATE); }));
    EXPECT_CHECK_PASSES(open_fails_with(EPERM, [] { return refuse_bpf_command(BPF_ITER_CREATE); }));
}

TEST(ConnectionStream, RefusesWhatItCannotDo) {
    ConnectionStreamOptions huge;
    huge.buffer_bytes = std::size_t{2} << 30;
    const Result<ConnectionStream*> opened = open_connection_stream(huge);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), SOCKSCOPE_TEST_BPF_BUILT ? EINVAL : ENOTSUP);
    std::uint64_t lost = 0;
    const Result<std::size_t> read = read_connection_records(nullptr, nullptr, 0, &lost);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), EINVAL);
}

} // namespace

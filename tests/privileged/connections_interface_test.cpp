// SPDX-License-Identifier: MIT
// The connection stream's C interface (<sockscope/connections.h>): what it
// refuses, and what a record carries beyond the stream's own (tested in
// connection_stream_test.cpp): texts, the owner's cgroup path and container
// id, the namespace's name. Connections are made by a named child process
// in a cgroup and a named network namespace the test makes.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sockscope/connections.h>

#include "support/child_process.h"
#include "support/forked_child.h"
#include "support/network_namespaces.h"

using namespace sockscope_test;

namespace {

struct StreamCloser {
    void operator()(sockscope_stream* stream) const { sockscope_stream_close(stream); }
};
using Stream = std::unique_ptr<sockscope_stream, StreamCloser>;

struct BatchFree {
    void operator()(sockscope_connections* batch) const { sockscope_connections_free(batch); }
};
using Batch = std::unique_ptr<sockscope_connections, BatchFree>;

// A copy of a record with its texts, which outlive the batch.
struct Seen {
    sockscope_connection record;
    std::string local, remote, name, comm, cgroup, container, netns_name, end;
};

std::string text(const char* value) { return value ? value : "(null)"; }

// Reads `stream` until a closed record of network namespace `netns` whose
// remote port is `port` comes, or 10 s pass. Other namespaces have ports of
// their own, any of which may be `port`.
std::optional<Seen> closed_to(sockscope_stream* stream, std::uint64_t netns, unsigned port) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd wait{sockscope_stream_fd(stream), POLLIN, 0};
        if (poll(&wait, 1, 100) < 0 && errno != EINTR) return std::nullopt;
        const Batch batch(sockscope_stream_read(stream, 256));
        if (!batch) return std::nullopt;
        for (std::size_t i = 0; i < batch->count; ++i) {
            const sockscope_connection* c = sockscope_connection_at(batch.get(), i);
            if (c->kind != SOCKSCOPE_CONNECTION_CLOSED || c->netns != netns || c->remote_port != port) continue;
            return Seen{*c,          text(c->local_text), text(c->remote_text), text(c->name),
                        text(c->comm), text(c->cgroup),   text(c->container),   text(c->netns_name),
                        text(c->end_name)};
        }
    }
    return std::nullopt;
}

TEST(ConnectionsInterface, RefusesWhatItCannotDo) {
    sockscope_stream_options options = SOCKSCOPE_STREAM_OPTIONS_INIT;
    options.size = sizeof options - 1;
    errno = 0;
    EXPECT_EQ(sockscope_stream_open(&options), nullptr);
    EXPECT_EQ(errno, EINVAL);
    options = SOCKSCOPE_STREAM_OPTIONS_INIT;
    options.flags = 0x80;
    errno = 0;
    EXPECT_EQ(sockscope_stream_open(&options), nullptr);
    EXPECT_EQ(errno, EINVAL);

    errno = 0;
    EXPECT_EQ(sockscope_stream_fd(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(sockscope_stream_read(nullptr, 16), nullptr);
    EXPECT_EQ(errno, EINVAL);
    sockscope_stream_info info = SOCKSCOPE_STREAM_INFO_INIT;
    errno = 0;
    EXPECT_EQ(sockscope_stream_get_info(nullptr, &info), -1);
    EXPECT_EQ(errno, EINVAL);
    sockscope_stream_close(nullptr);
    sockscope_connections_free(nullptr);

    EXPECT_STREQ(sockscope_state_name(IPPROTO_TCP, SOCKSCOPE_ESTABLISHED), "ESTABLISHED");
    EXPECT_STREQ(sockscope_state_name(IPPROTO_TCP, SOCKSCOPE_NEW_SYN_RECV), "NEW_SYN_RECV");
    EXPECT_STREQ(sockscope_state_name(IPPROTO_UDP, SOCKSCOPE_CLOSE), "UNCONN");
    EXPECT_EQ(sockscope_state_name(IPPROTO_UDP, SOCKSCOPE_LISTEN), nullptr);
    EXPECT_EQ(sockscope_state_name(IPPROTO_TCP, 0), nullptr);
    EXPECT_EQ(sockscope_state_name(IPPROTO_TCP, 13), nullptr);
    EXPECT_EQ(sockscope_state_name(IPPROTO_ICMP, SOCKSCOPE_ESTABLISHED), nullptr);
}

// Each stream function that answers leaves errno as the caller had it; one
// that fails on an open stream says why.
TEST(ConnectionsInterface, AnswersLeaveErrnoAsItWas) {
    const Stream stream(sockscope_stream_open(nullptr));
    if (!stream) GTEST_SKIP() << "no stream here: " << std::strerror(errno);
    errno = EDOM;
    EXPECT_GE(sockscope_stream_fd(stream.get()), 0);
    EXPECT_EQ(errno, EDOM);
    sockscope_stream_info info = SOCKSCOPE_STREAM_INFO_INIT;
    EXPECT_EQ(sockscope_stream_get_info(stream.get(), &info), 0);
    EXPECT_EQ(errno, EDOM);
    const Batch batch(sockscope_stream_read(stream.get(), 16));
    EXPECT_NE(batch, nullptr);
    EXPECT_EQ(errno, EDOM);
    info.size = sizeof info - 1;
    EXPECT_EQ(sockscope_stream_get_info(stream.get(), &info), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sockscope_stream_read(stream.get(), 0), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

// A child named by the test, in a Docker-named cgroup, connects from inside
// a named namespace to a listener there and aborts (a zero linger, so that
// the connection ends at once, with no wait for the listener's side): its
// record names the child, its cgroup and container, the namespace and its
// name, and how it ended.
TEST(ConnectionsInterface, ARecordNamesTheOwnersContainerAndTheNamespace) {
    sockscope_stream* opened = sockscope_stream_open(nullptr);
    if (opened == nullptr) GTEST_SKIP() << "no stream here: " << std::strerror(errno);
    const Stream stream(opened);
    sockscope_stream_info info = SOCKSCOPE_STREAM_INFO_INIT;
    ASSERT_EQ(sockscope_stream_get_info(stream.get(), &info), 0);
    EXPECT_STREQ(info.state_hook, "tp_btf/inet_sock_set_state");
    EXPECT_NE(info.accept_hook, nullptr);

    const std::string id = "5e1f" + std::string(60, 'c');
    const TestCgroup cgroup("/sockscope-test-" + std::to_string(getpid()) + ".slice/docker-" + id + ".scope");
    const std::string ns_name = unique_name("sockscope-stream");
    const unsigned port = 20000 + static_cast<unsigned>(getpid() % 20000);
    const NamedNamespace ns(ns_name, port);
    if (!cgroup.made() || !ns.ready()) GTEST_SKIP() << "no cgroup or named namespace here";

    const std::string name = unique_name("c-owner-named-whole");
    ForkedChild client([&](int report) {
        prctl(PR_SET_NAME, name.c_str());
        const int file = open(("/run/netns/" + ns_name).c_str(), O_RDONLY | O_CLOEXEC);
        // The socket is made in the namespace: after setns.
        const bool entered = file >= 0 && setns(file, CLONE_NEWNET) == 0;
        const int fd = entered ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
        const sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        const linger abort{1, 0};
        const bool done = cgroup.add(getpid()) && fd >= 0 &&
                          connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                          setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) == 0;
        close(fd);
        write_all(report, done ? "ok\n" : "failed\n", done ? 3 : 7);
    });
    std::string said;
    ASSERT_TRUE(client.read_line(said, std::chrono::steady_clock::now() + std::chrono::seconds(10)));
    ASSERT_EQ(said, "ok");

    const std::optional<Seen> seen = closed_to(stream.get(), ns.inode(), port);
    ASSERT_TRUE(seen) << "no record of the child's connection";
    const sockscope_connection& c = seen->record;
    EXPECT_EQ(c.pid, static_cast<std::uint32_t>(client.pid()));
    EXPECT_EQ(seen->comm, name.substr(0, 15));
    EXPECT_EQ(c.side, SOCKSCOPE_SIDE_CONNECT);
    EXPECT_EQ(c.owner_source, SOCKSCOPE_OWNER_FROM_CONNECT);
    EXPECT_EQ(seen->cgroup, "/sockscope-test-" + std::to_string(getpid()) + ".slice/docker-" + id + ".scope");
    EXPECT_EQ(seen->container, id);
    EXPECT_EQ(c.user_container, nullptr); // root owns the cgroup: a runtime's
    EXPECT_EQ(c.container_user, 0u);
    EXPECT_NE(c.cgroup_id, 0u);
    EXPECT_EQ(c.netns, ns.inode());
    EXPECT_EQ(seen->netns_name, ns_name);
    EXPECT_EQ(seen->remote, "127.0.0.1");
    EXPECT_EQ(c.family, AF_INET);
    EXPECT_EQ(c.protocol, IPPROTO_TCP);
    EXPECT_GE(c.state_count, 2);
    EXPECT_EQ(c.states[c.state_count - 1], SOCKSCOPE_CLOSE);
    EXPECT_EQ(c.end, SOCKSCOPE_END_RESET_SENT);
    EXPECT_EQ(seen->end, "reset sent");
}

} // namespace

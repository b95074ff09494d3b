// SPDX-License-Identifier: MIT
// Connection records made from synthetic events of the connections BPF
// program: the endings the kernel's states and errors tell apart, names,
// times, and events that can't be records.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <netinet/in.h>
#include <vector>

#include "core/connection_events.h"
#include "core/bpf_connection_event.h"

using namespace sockscope_detail;

namespace {

// The kernel's TCP states.
enum : std::uint8_t { established = 1, syn_sent, syn_recv, fin_wait1, fin_wait2, time_wait, close, close_wait,
                      last_ack, listen, closing };

connection_event closed_event(std::vector<std::uint8_t> states, int error = 0) {
    connection_event event{};
    event.kind = CONNECTION_CLOSED;
    event.side = CONNECTION_SIDE_CONNECT;
    event.owner_source = OWNER_FROM_CONNECT;
    event.family = AF_INET6;
    event.opened_ns = 5'000;
    event.event_ns = 12'000;
    event.error = error;
    for (std::size_t i = 0; i < states.size(); ++i) event.states |= std::uint64_t{states[i]} << (4 * i);
    event.state_count = static_cast<std::uint8_t>(states.size());
    std::strcpy(event.comm, "client");
    return event;
}

ConnectionRecord decoded(const connection_event& event, std::int64_t offset = 0) {
    ConnectionRecord record{};
    EXPECT_TRUE(decode_connection_event(std::as_bytes(std::span(&event, 1)), offset, record));
    return record;
}

TEST(ConnectionEvents, ClosedConnectionBecomesARecord) {
    connection_event event = closed_event({close, syn_sent, established, fin_wait1, fin_wait2, close});
    event.cookie = 77;
    event.netns = 4026531840u;
    event.owner = 1234;
    event.closer = 1234;
    event.bytes_acked = 5;
    event.bytes_received = 301;
    event.local_port = 40000;
    event.remote_port = 443;
    event.local_address[15] = 1;
    event.remote_address[0] = 0x20;
    event.flags = CONNECTION_CLOSED_IN_CALL;
    const ConnectionRecord record = decoded(event, 1'000'000);

    EXPECT_EQ(record.kind, ConnectionKind::closed);
    EXPECT_EQ(record.protocol, IPPROTO_TCP);
    EXPECT_EQ(record.cookie, 77u);
    EXPECT_EQ(record.network_namespace, 4026531840u);
    EXPECT_EQ(record.pid, 1234u);
    EXPECT_EQ(record.side, ConnectionSide::connect);
    EXPECT_EQ(record.owner_source, OwnerSource::connect);
    EXPECT_EQ(record.opened_ns, 1'005'000);
    EXPECT_EQ(record.closed_ns, 1'012'000);
    EXPECT_EQ(record.lifetime_ns, 7'000);
    EXPECT_EQ(record.bytes_sent, 5u);
    EXPECT_EQ(record.bytes_received, 301u);
    EXPECT_EQ(record.local_port, 40000);
    EXPECT_EQ(record.local_address[15], 1);
    EXPECT_EQ(record.remote_address[0], 0x20);
    EXPECT_EQ(record.flags, connection_closed_in_call);
    EXPECT_EQ(record.end, ConnectionEnd::normal);
    EXPECT_EQ(std::vector<std::uint8_t>(record.states, record.states + record.state_count),
              (std::vector<std::uint8_t>{close, syn_sent, established, fin_wait1, fin_wait2, close}));
    EXPECT_STREQ(record.name, "client");
}

TEST(ConnectionEvents, EndingsAreToldApart) {
    struct Case {
        std::vector<std::uint8_t> states;
        int error;
        ConnectionEnd end;
    };
    const Case cases[] = {
        {{established, close_wait, last_ack, close}, 0, ConnectionEnd::normal},
        {{established, fin_wait1, closing, close}, 0, ConnectionEnd::normal},
        {{close, listen, close}, 0, ConnectionEnd::normal},
        {{close, syn_sent, established, close}, 0, ConnectionEnd::reset_sent}, // SO_LINGER 0
        {{listen, syn_recv, established, close_wait, close}, 0, ConnectionEnd::reset_sent},
        {{listen, syn_recv, established, close}, ECONNRESET, ConnectionEnd::reset_received},
        {{established, close_wait, close}, EPIPE, ConnectionEnd::reset_received},
        {{close, syn_sent, close}, ECONNREFUSED, ConnectionEnd::refused},
        {{close, syn_sent, close}, ETIMEDOUT, ConnectionEnd::timed_out},
        {{close, syn_sent, close}, EHOSTUNREACH, ConnectionEnd::failed},
        {{close, syn_sent, close}, 0, ConnectionEnd::abandoned},
    };
    for (const auto& c : cases) EXPECT_EQ(decoded(closed_event(c.states, c.error)).end, c.end) << c.error;
}

TEST(ConnectionEvents, WholeNameWhereTheCommIsCut) {
    connection_event event = closed_event({established, close});
    std::strcpy(event.comm, "stream-client-1"); // 15 bytes: cut
    std::strcpy(event.name, "stream-client-1234x5");
    EXPECT_STREQ(decoded(event).name, "stream-client-1234x5");
    EXPECT_STREQ(decoded(event).comm, "stream-client-1");
    std::strcpy(event.name, "python3"); // not what the comm was cut from
    EXPECT_STREQ(decoded(event).name, "stream-client-1");
    std::memset(event.comm, 'x', sizeof event.comm); // no terminator
    std::memset(event.name, 'x', sizeof event.name);
    const ConnectionRecord hostile = decoded(event);
    EXPECT_EQ(std::strlen(hostile.comm), sizeof hostile.comm - 1);
    EXPECT_LT(std::strlen(hostile.name), sizeof hostile.name);
}

TEST(ConnectionEvents, OpensAndUnseenOpeningsHaveNoLifetime) {
    connection_event event = closed_event({close, syn_sent, established});
    event.kind = CONNECTION_OPENED;
    ConnectionRecord record = decoded(event);
    EXPECT_EQ(record.end, ConnectionEnd::open);
    EXPECT_EQ(record.closed_ns, 0);
    EXPECT_EQ(record.lifetime_ns, -1);

    event = closed_event({established, fin_wait1, fin_wait2, close});
    event.opened_ns = 0;
    event.flags = CONNECTION_OPEN_UNSEEN;
    record = decoded(event);
    EXPECT_EQ(record.opened_ns, 0);
    EXPECT_EQ(record.lifetime_ns, -1);
    EXPECT_EQ(record.flags, connection_open_unseen);

    // An opening the clock's offset moves to 0 reads as unknown: no lifetime.
    event = closed_event({established, close});
    event.opened_ns = 1'280;
    event.flags = 0;
    record = decoded(event, -1'280);
    EXPECT_EQ(record.opened_ns, 0);
    EXPECT_EQ(record.lifetime_ns, -1);
}

TEST(ConnectionEvents, OnlyEventsOfTheProgramAreRecords) {
    connection_event event = closed_event({close, syn_sent, close});
    ConnectionRecord record{};
    const auto bytes = std::as_bytes(std::span(&event, 1));
    EXPECT_FALSE(decode_connection_event(bytes.first(bytes.size() - 1), 0, record));
    event.kind = 9;
    EXPECT_FALSE(decode_connection_event(std::as_bytes(std::span(&event, 1)), 0, record));

    event = closed_event({close, syn_sent, close});
    event.side = 200;
    event.owner_source = 200;
    event.state_count = 40;
    record = decoded(event);
    EXPECT_EQ(record.side, ConnectionSide::unknown);
    EXPECT_EQ(record.owner_source, OwnerSource::unknown);
    EXPECT_EQ(record.state_count, connection_path_capacity);

    // Times beyond any clock's reach still make a record: the sums wrap
    // (the sanitizer build's check of signed overflow would stop here).
    event.event_ns = std::numeric_limits<std::int64_t>::max();
    EXPECT_NE(decoded(event, std::numeric_limits<std::int64_t>::max()).closed_ns, 0);
}

} // namespace

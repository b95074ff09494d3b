// SPDX-License-Identifier: MIT
// One TCP connection as the connection stream reports it (opened or
// closed, with its owner), and the words that describe it. Plain data:
// the stream (linux/connection_stream.h) fills it, the C interface's
// batches (core/connection_batches.h) are made from it. The numbers the
// BPF program writes are its own (core/bpf_connection_event.h): the enums
// take them from there, and the C interface's enums (sockscope/connections.h)
// are checked against these where the batches are made.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bpf_connection_event.h"

namespace sockscope_detail {

enum class ConnectionKind : std::uint8_t { opened = CONNECTION_OPENED, closed = CONNECTION_CLOSED };

// How the socket came to be.
enum class ConnectionSide : std::uint8_t {
    unknown = CONNECTION_SIDE_UNKNOWN,
    connect = CONNECTION_SIDE_CONNECT,
    accept = CONNECTION_SIDE_ACCEPT,
    listen = CONNECTION_SIDE_LISTEN,
};

// Where the owner was taken from (see connection_stream.h for the rules).
enum class OwnerSource : std::uint8_t {
    unknown = OWNER_UNKNOWN,
    connect = OWNER_FROM_CONNECT,
    listen = OWNER_FROM_LISTEN,
    accept = OWNER_FROM_ACCEPT,
    snapshot = OWNER_FROM_SNAPSHOT,
    close = OWNER_FROM_CLOSE,
    first_call = OWNER_FROM_IO,     // an accepted socket's first send or receive
    listener = OWNER_FROM_LISTENER, // an accepted socket's listener's owner, before any call on it
};

// How a connection ended.
enum class ConnectionEnd : std::uint8_t {
    open = 0,           // an open record: not ended
    normal = 1,         // after both sides' FIN; a listener closed
    reset_sent = 2,     // aborted here: SO_LINGER 0, unread data at close, a listener
                        // closed with connections not yet accepted
    reset_received = 3, // the peer reset it (ECONNRESET, EPIPE)
    refused = 4,        // the connect was refused (ECONNREFUSED)
    timed_out = 5,      // no answer: connect or retransmission timeout (ETIMEDOUT)
    failed = 6,         // another error ended it; see `error`
    abandoned = 7,      // closed while it was still connecting
};

// ConnectionRecord::flags
// opened before the stream started, or while the socket table was full
inline constexpr std::uint8_t connection_open_unseen = CONNECTION_OPEN_UNSEEN;
// its last state change ran in a call on the socket (close, shutdown ...)
inline constexpr std::uint8_t connection_closed_in_call = CONNECTION_CLOSED_IN_CALL;
// states[] lost some in the middle
inline constexpr std::uint8_t connection_path_cut = CONNECTION_PATH_CUT;

inline constexpr std::size_t connection_path_capacity = CONNECTION_PATH_CAPACITY;

// One TCP connection, as it opened or as it closed. Plain data without
// pointers, so that callers can be handed arrays of them.
struct ConnectionRecord {
    std::uint64_t cookie;            // the socket's cookie (SO_COOKIE), unique while the system runs
    std::uint64_t network_namespace; // inode of its network namespace
    std::uint64_t cgroup;            // the owner's cgroup in the unified hierarchy (its directory's inode); 0 unknown
    std::int64_t opened_ns;          // CLOCK_REALTIME, ns; 0 when its opening was not seen
    std::int64_t closed_ns;          // CLOCK_REALTIME, ns; 0 in an open record
    std::int64_t lifetime_ns;        // closed_ns - opened_ns; -1 when either is unknown
    std::uint64_t bytes_sent;        // at close: payload acknowledged by the peer (`ss -i`'s
                                     // bytes_acked less a connect's SYN and an acknowledged FIN)
    std::uint64_t bytes_received;    // at close: payload received (bytes_received less the peer's FIN)
    std::uint32_t pid;               // owner, in the reader's PID namespace; 0 unknown
    std::uint32_t closer_pid;        // the process whose call began the close; 0 unknown
    std::int32_t error;              // the socket's error at close (errno value), 0 none
    std::uint16_t family;            // AF_INET, AF_INET6
    std::uint16_t local_port;        // host order
    std::uint16_t remote_port;       // host order
    std::uint8_t protocol;           // IPPROTO_TCP
    ConnectionKind kind;
    ConnectionSide side;
    OwnerSource owner_source;
    ConnectionEnd end;
    std::uint8_t flags;              // connection_* flags above
    std::uint8_t state_count;        // states[0..state_count)
    std::uint8_t states[connection_path_capacity]; // TCP states seen, oldest first (TCP_ESTABLISHED = 1 ...)
    std::uint8_t local_address[16];  // network order; IPv4 in the first 4 bytes
    std::uint8_t remote_address[16];
    char comm[CONNECTION_COMM_SIZE]; // the owner's comm, NUL-terminated; "" unknown
    char name[CONNECTION_NAME_SIZE]; // the owner's whole name (see below); "" unknown
};

} // namespace sockscope_detail

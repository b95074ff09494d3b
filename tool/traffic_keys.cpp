// SPDX-License-Identifier: MIT
#include "traffic_keys.h"

#include <cstddef>
#include <netinet/in.h>

namespace sockscope_tool {

namespace {

TrafficKey key_of(std::uint32_t pid, const char* name, const char* container, TrafficGrouping grouping) {
    TrafficKey key;
    if (container != nullptr) key.container = container;
    if (grouping == TrafficGrouping::container) return key;
    if (name != nullptr) key.name = name;
    if (grouping == TrafficGrouping::process) key.pid = pid;
    return key;
}

} // namespace

std::vector<LiveConnection> live_connections(const TakenSnapshot& taken, TrafficGrouping grouping) {
    const sockscope_snapshot& snapshot = taken.header();
    std::vector<LiveConnection> connections;
    connections.reserve(snapshot.count);
    // tcp_info was added in 1.4: read only where the library's sockets reach it.
    const bool has_details = snapshot.socket_size >= offsetof(sockscope_socket, tcp_info) + sizeof(void*);
    for (std::size_t i = 0; i < snapshot.count; ++i) {
        const sockscope_socket& socket = taken.socket(i);
        // A listener is no connection; a connection in TIME_WAIT is closed
        // and held by no process.
        if (socket.protocol == IPPROTO_TCP && (socket.state == SOCKSCOPE_LISTEN || socket.state == SOCKSCOPE_TIME_WAIT))
            continue;
        LiveConnection connection;
        const sockscope_owner* owner = socket.owner_count != 0 ? sockscope_owner_at(&snapshot, &socket, 0) : nullptr;
        connection.key = owner != nullptr ? key_of(owner->pid, owner->name != nullptr ? owner->name : owner->comm,
                                                   owner->container, grouping)
                                          : key_of(0, nullptr, nullptr, grouping);
        if (socket.protocol == IPPROTO_TCP && has_details && socket.tcp_info != nullptr) {
            connection.cookie = socket.cookie;
            connection.bytes_sent = socket.tcp_info->bytes_acked;
            connection.bytes_received = socket.tcp_info->bytes_received;
        }
        connections.push_back(std::move(connection));
    }
    return connections;
}

bool connection_change(const sockscope_connection& record, TrafficGrouping grouping, ConnectionChange& change) {
    if (record.side == SOCKSCOPE_SIDE_LISTEN) return false;
    change.cookie = record.cookie;
    change.key = key_of(record.pid, record.name != nullptr ? record.name : record.comm, record.container, grouping);
    change.closed = record.kind == SOCKSCOPE_CONNECTION_CLOSED;
    change.bytes_sent = record.bytes_sent;
    change.bytes_received = record.bytes_received;
    return true;
}

} // namespace sockscope_tool

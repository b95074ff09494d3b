// SPDX-License-Identifier: MIT
#include "core/connection_events.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <string_view>

#include "core/bpf_connection_event.h"
#include "core/image_name.h"

namespace sockscope_detail {
namespace {

// The event's texts fit the record's with their NULs, and its states fill
// at most the record's path.
static_assert(sizeof(ConnectionRecord::comm) >= sizeof(connection_event::comm));
static_assert(sizeof(ConnectionRecord::name) >= sizeof(connection_event::name));
static_assert(sizeof(ConnectionRecord::states) >= CONNECTION_PATH_CAPACITY); // bytes, one a state

// The kernel's TCP states (include/net/tcp_states.h) that tell how a
// connection ended.
enum : std::uint8_t {
    tcp_established = 1,
    tcp_syn_sent = 2,
    tcp_syn_recv = 3,
    tcp_fin_wait1 = 4,
    tcp_close_wait = 8,
};

// A NUL-terminated copy of a text field that may fill its array.
template <std::size_t N>
std::string_view field_text(const char (&field)[N]) {
    return {field, ::strnlen(field, N)};
}

template <std::size_t N>
void copy_text(char (&to)[N], std::string_view text) {
    const std::size_t length = std::min(text.size(), N - 1);
    std::memcpy(to, text.data(), length);
    to[length] = '\0';
}

} // namespace

ConnectionEnd connection_end(std::span<const std::uint8_t> states, int error) {
    switch (error) {
    case 0: break;
    case ECONNREFUSED: return ConnectionEnd::refused;
    case ECONNRESET:
    case EPIPE: return ConnectionEnd::reset_received;
    case ETIMEDOUT: return ConnectionEnd::timed_out;
    default: return ConnectionEnd::failed;
    }
    // Without an error, the state it closed from tells how: the states
    // after both FINs close normally, as a listener does; a close from any
    // earlier one aborts the connection (the kernel sends a reset), except
    // from SYN_SENT, where no connection was made yet.
    const std::uint8_t before = states.size() >= 2 ? states[states.size() - 2] : 0;
    switch (before) {
    case tcp_syn_sent: return ConnectionEnd::abandoned;
    case tcp_established:
    case tcp_syn_recv:
    case tcp_fin_wait1:
    case tcp_close_wait: return ConnectionEnd::reset_sent;
    default: return ConnectionEnd::normal;
    }
}

bool decode_connection_event(std::span<const std::byte> event, std::int64_t realtime_offset_ns,
                             ConnectionRecord& record) {
    connection_event raw;
    if (event.size() != sizeof raw) return false;
    std::memcpy(&raw, event.data(), sizeof raw);
    if (raw.kind != CONNECTION_OPENED && raw.kind != CONNECTION_CLOSED) return false;

    record = ConnectionRecord{};
    record.cookie = raw.cookie;
    record.network_namespace = raw.netns;
    record.cgroup = raw.cgroup;
    const bool closed = raw.kind == CONNECTION_CLOSED;
    // Sums that wrap, so that any bytes make a time (the kernel's clocks
    // never come near the limits).
    const auto realtime = [&](unsigned long long monotonic) {
        return static_cast<std::int64_t>(monotonic + static_cast<std::uint64_t>(realtime_offset_ns));
    };
    record.opened_ns = raw.opened_ns != 0 ? realtime(raw.opened_ns) : 0;
    record.closed_ns = closed ? realtime(raw.event_ns) : 0;
    // A lifetime only beside an opening time the record gives: an opening
    // that the offset moves to exactly 0 reads as unknown, and so does it.
    record.lifetime_ns = closed && record.opened_ns != 0 && raw.event_ns >= raw.opened_ns
                             ? static_cast<std::int64_t>(raw.event_ns - raw.opened_ns)
                             : -1;
    record.bytes_sent = raw.bytes_acked;
    record.bytes_received = raw.bytes_received;
    record.pid = raw.owner;
    record.closer_pid = raw.closer;
    record.error = raw.error;
    record.family = raw.family;
    record.local_port = raw.local_port;
    record.remote_port = raw.remote_port;
    record.protocol = IPPROTO_TCP;
    record.kind = static_cast<ConnectionKind>(raw.kind);
    record.side = raw.side <= CONNECTION_SIDE_LISTEN ? static_cast<ConnectionSide>(raw.side) : ConnectionSide::unknown;
    record.owner_source =
        raw.owner_source <= OWNER_FROM_LISTENER ? static_cast<OwnerSource>(raw.owner_source) : OwnerSource::unknown;
    record.flags = raw.flags & (connection_open_unseen | connection_closed_in_call | connection_path_cut);
    record.state_count = std::min<std::uint8_t>(raw.state_count, connection_path_capacity);
    for (std::size_t i = 0; i < record.state_count; ++i) record.states[i] = (raw.states >> (4 * i)) & 0xF;
    record.end = closed ? connection_end({record.states, record.state_count}, raw.error) : ConnectionEnd::open;
    std::memcpy(record.local_address, raw.local_address, sizeof record.local_address);
    std::memcpy(record.remote_address, raw.remote_address, sizeof record.remote_address);

    const std::string_view comm = field_text(raw.comm);
    copy_text(record.comm, comm);
    const auto whole = comm.size() == max_comm_length ? long_name_from_path(comm, field_text(raw.name)) : std::nullopt;
    copy_text(record.name, whole.value_or(comm));
    return true;
}

} // namespace sockscope_detail

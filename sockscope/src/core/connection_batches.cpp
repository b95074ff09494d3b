// SPDX-License-Identifier: MIT
#include "core/connection_batches.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>

#include "core/container_ids.h"
#include "core/conversions.h"
#include "core/record_block.h"
#include "core/utf8.h"

namespace sockscope_detail {
namespace {

// The C interface's numbers are the records' (and so the BPF program's):
// each record's members are copied across by number.
template <typename Enum>
constexpr bool same_number(Enum value, int public_value) {
    return static_cast<int>(value) == public_value;
}
static_assert(same_number(ConnectionKind::opened, SOCKSCOPE_CONNECTION_OPENED));
static_assert(same_number(ConnectionKind::closed, SOCKSCOPE_CONNECTION_CLOSED));
static_assert(same_number(ConnectionSide::unknown, SOCKSCOPE_SIDE_UNKNOWN));
static_assert(same_number(ConnectionSide::connect, SOCKSCOPE_SIDE_CONNECT));
static_assert(same_number(ConnectionSide::accept, SOCKSCOPE_SIDE_ACCEPT));
static_assert(same_number(ConnectionSide::listen, SOCKSCOPE_SIDE_LISTEN));
static_assert(same_number(OwnerSource::unknown, SOCKSCOPE_OWNER_UNKNOWN));
static_assert(same_number(OwnerSource::connect, SOCKSCOPE_OWNER_FROM_CONNECT));
static_assert(same_number(OwnerSource::listen, SOCKSCOPE_OWNER_FROM_LISTEN));
static_assert(same_number(OwnerSource::accept, SOCKSCOPE_OWNER_FROM_ACCEPT));
static_assert(same_number(OwnerSource::snapshot, SOCKSCOPE_OWNER_FROM_SNAPSHOT));
static_assert(same_number(OwnerSource::close, SOCKSCOPE_OWNER_FROM_CLOSE));
static_assert(same_number(OwnerSource::first_call, SOCKSCOPE_OWNER_FROM_FIRST_CALL));
static_assert(same_number(OwnerSource::listener, SOCKSCOPE_OWNER_FROM_LISTENER));
static_assert(same_number(ConnectionEnd::open, SOCKSCOPE_END_OPEN));
static_assert(same_number(ConnectionEnd::normal, SOCKSCOPE_END_NORMAL));
static_assert(same_number(ConnectionEnd::reset_sent, SOCKSCOPE_END_RESET_SENT));
static_assert(same_number(ConnectionEnd::reset_received, SOCKSCOPE_END_RESET_RECEIVED));
static_assert(same_number(ConnectionEnd::refused, SOCKSCOPE_END_REFUSED));
static_assert(same_number(ConnectionEnd::timed_out, SOCKSCOPE_END_TIMED_OUT));
static_assert(same_number(ConnectionEnd::failed, SOCKSCOPE_END_FAILED));
static_assert(same_number(ConnectionEnd::abandoned, SOCKSCOPE_END_ABANDONED));
static_assert(connection_open_unseen == SOCKSCOPE_CONNECTION_OPEN_UNSEEN);
static_assert(connection_closed_in_call == SOCKSCOPE_CONNECTION_CLOSED_IN_CALL);
static_assert(connection_path_cut == SOCKSCOPE_CONNECTION_PATH_CUT);

// Members copied whole (memcpy) or by value have the same size on both
// sides, so that neither is cut nor read past.
#define SAME_SIZE(public_member, record_member) \
    static_assert(sizeof(sockscope_connection::public_member) == sizeof(ConnectionRecord::record_member))
SAME_SIZE(states, states);
SAME_SIZE(local_address, local_address);
SAME_SIZE(remote_address, remote_address);
SAME_SIZE(local_port, local_port);
SAME_SIZE(remote_port, remote_port);
SAME_SIZE(error, error);
SAME_SIZE(pid, pid);
SAME_SIZE(closer_pid, closer_pid);
SAME_SIZE(cookie, cookie);
SAME_SIZE(netns, network_namespace);
SAME_SIZE(opened_ns, opened_ns);
SAME_SIZE(closed_ns, closed_ns);
SAME_SIZE(lifetime_ns, lifetime_ns);
SAME_SIZE(bytes_sent, bytes_sent);
SAME_SIZE(bytes_received, bytes_received);
SAME_SIZE(cgroup_id, cgroup);
SAME_SIZE(protocol, protocol);
SAME_SIZE(kind, kind);
SAME_SIZE(side, side);
SAME_SIZE(owner_source, owner_source);
SAME_SIZE(end, end);
SAME_SIZE(flags, flags);
SAME_SIZE(state_count, state_count);
#undef SAME_SIZE

// A fixed field of the kernel's record, up to its first NUL.
template <std::size_t Size>
std::string_view field_text(const char (&field)[Size]) {
    return {field, ::strnlen(field, Size)};
}

std::uintptr_t add_address_text(BlockTexts& texts, std::uint16_t family, const std::uint8_t (&bytes)[16]) {
    Address address{};
    std::memcpy(address.data(), bytes, sizeof bytes);
    char text[ipv6_text_size];
    const Family kind = family == 2 ? Family::ipv4 : Family::ipv6;
    return texts.add({text, address_text_into(kind, address, {}, text)});
}

} // namespace

const char* connection_end_name(std::uint8_t end) {
    static constexpr const char* names[] = {"open",    "normal",    "reset sent", "reset received",
                                            "refused", "timed out", "failed",     "abandoned"};
    static_assert(std::size(names) == static_cast<std::size_t>(ConnectionEnd::abandoned) + 1);
    return end < std::size(names) ? names[end] : "unknown";
}

sockscope_connections* make_connection_batch(std::span<const ConnectionRecord> records, std::uint64_t lost,
                                             const ConnectionLookups& lookups) {
    WorkingVector<sockscope_connection> made(records.size());
    BlockTexts texts;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const ConnectionRecord& record = records[i];
        sockscope_connection& c = made[i];
        c.protocol = record.protocol;
        c.family = static_cast<std::uint8_t>(record.family);
        c.kind = static_cast<std::uint8_t>(record.kind);
        c.side = static_cast<std::uint8_t>(record.side);
        c.owner_source = static_cast<std::uint8_t>(record.owner_source);
        c.end = static_cast<std::uint8_t>(record.end);
        c.flags = record.flags;
        c.state_count = record.state_count;
        std::memcpy(c.states, record.states, sizeof c.states);
        std::memcpy(c.local_address, record.local_address, sizeof c.local_address);
        std::memcpy(c.remote_address, record.remote_address, sizeof c.remote_address);
        c.local_port = record.local_port;
        c.remote_port = record.remote_port;
        c.error = record.error;
        c.pid = record.pid;
        c.closer_pid = record.closer_pid;
        c.cookie = record.cookie;
        c.netns = record.network_namespace;
        c.opened_ns = record.opened_ns;
        c.closed_ns = record.closed_ns;
        c.lifetime_ns = record.lifetime_ns;
        c.bytes_sent = record.bytes_sent;
        c.bytes_received = record.bytes_received;
        c.cgroup_id = record.cgroup;
        c.end_name = connection_end_name(c.end);
        set_offset(c.local_text, add_address_text(texts, record.family, record.local_address));
        set_offset(c.remote_text, add_address_text(texts, record.family, record.remote_address));
        // The kernel's bytes are the process's own choice: made valid UTF-8.
        const std::string_view name = field_text(record.name);
        const std::string_view comm = field_text(record.comm);
        set_offset(c.name, name.empty() ? no_text : texts.add(well_formed_utf8(name)));
        set_offset(c.comm, comm.empty() ? no_text : texts.add(well_formed_utf8(comm)));
        set_offset(c.cgroup, no_text);
        set_offset(c.container, no_text);
        set_offset(c.user_container, no_text);
        c.container_user = 0;
        c.reserved = 0;
        if (const auto path = lookups.cgroup_paths.find(record.cgroup); path != lookups.cgroup_paths.end())
            set_offset(c.cgroup, texts.add(well_formed_utf8(path->second)));
        if (const auto found = lookups.containers.find(record.cgroup); found != lookups.containers.end()) {
            const PlacedContainer& placed = found->second;
            if (!placed.id.empty()) set_offset(c.container, texts.add(well_formed_utf8(placed.id)));
            if (!placed.user_id.empty()) {
                set_offset(c.user_container, texts.add(well_formed_utf8(placed.user_id)));
                c.container_user = placed.user;
            }
        }
        const auto ns = lookups.namespace_names.find(record.network_namespace);
        set_offset(c.netns_name, ns == lookups.namespace_names.end() ? no_text : texts.add(well_formed_utf8(ns->second)));
    }

    const std::size_t records_at = block_aligned(sizeof(sockscope_connections));
    const std::size_t texts_at = records_at + block_aligned(made.size() * sizeof(sockscope_connection));
    auto* block = static_cast<char*>(std::malloc(texts_at + texts.bytes().size()));
    if (block == nullptr) throw std::bad_alloc();
    auto* placed = reinterpret_cast<sockscope_connection*>(block + records_at);
    const char* placed_texts = block + texts_at;
    if (!made.empty()) std::memcpy(placed, made.data(), made.size() * sizeof(sockscope_connection));
    if (!texts.bytes().empty()) std::memcpy(block + texts_at, texts.bytes().data(), texts.bytes().size());
    for (std::size_t i = 0; i < made.size(); ++i) {
        sockscope_connection& c = placed[i];
        resolve(c.local_text, placed_texts);
        resolve(c.remote_text, placed_texts);
        resolve(c.name, placed_texts);
        resolve(c.comm, placed_texts);
        resolve(c.cgroup, placed_texts);
        resolve(c.container, placed_texts);
        resolve(c.user_container, placed_texts);
        resolve(c.netns_name, placed_texts);
    }
    auto* batch = new (block) sockscope_connections{};
    batch->size = sizeof(sockscope_connections);
    batch->connection_size = sizeof(sockscope_connection);
    batch->count = made.size();
    batch->connections = made.empty() ? nullptr : placed;
    batch->lost = lost;
    return batch;
}

} // namespace sockscope_detail

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

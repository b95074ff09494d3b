// SPDX-License-Identifier: MIT
#include "columns.h"

#include <algorithm>
#include <cstddef>
#include <cctype>
#include <cstring>
#include <string_view>

#include <sockscope_text/decimal.h>
#include <sockscope_text/display_width.h>
#include <sockscope_text/terminal_text.h>

#include "state_names.h"

namespace sockscope_tool {
namespace {

using sockscope_text::append_decimal;
using sockscope_text::decimal_digits;

constexpr ColumnTraits column_traits[] = {
    {"Proto", "Proto", false, false},
    {"Recv-Q", "Recv-Q", true, false},
    {"Send-Q", "Send-Q", true, false},
    {"Local Address", "Local", false, true},
    {"Port", "Port", true, false},
    {"Peer Address", "Peer", false, true},
    {"Port", "Port", true, false},
    {"State", "State", false, false},
    {"Netns", "Netns", false, false, true},
    {"Container", "Cont", false, false, true},
    {"User", "User", false, false},
    {"UID", "UID", true, false},
    {"Inode", "Inode", true, false},
    {"Cookie", "Cookie", true, false},
    {"V6only", "V6only", true, false},
    {"Cgroup", "Cgroup", false, false, true},
    {"PID/Name", "PID/Name", false, false},
};

// A container id as docker ps shows it: 64 hex digits cut to 12; a name
// (a machine's) whole.
constexpr std::size_t container_id_length = 64, shown_id_length = 12;

bool is_container_id(std::string_view id) {
    return id.size() == container_id_length &&
           std::all_of(id.begin(), id.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

bool all_zero(const std::uint8_t (&address)[16]) {
    return std::all_of(std::begin(address), std::end(address), [](std::uint8_t byte) { return byte == 0; });
}

const char* protocol_name(const sockscope_socket& socket) {
    if (socket.protocol == 6) return socket.family == 2 ? "tcp" : "tcp6";
    return socket.family == 2 ? "udp" : "udp6";
}

// A number whose 0 means "none".
void append_or_absent(std::string& out, std::uint64_t value) {
    if (value == 0)
        out += '-';
    else
        append_decimal(out, value);
}

// The table's cookie, in hex as ss -e shows it: "sk:f432e".
void append_cookie(std::string& out, std::uint64_t cookie) {
    char digits[16];
    std::size_t count = 0;
    do {
        digits[count++] = "0123456789abcdef"[cookie & 0xf];
        cookie >>= 4;
    } while (cookie != 0);
    out += "sk:";
    while (count > 0) out += digits[--count];
}

std::size_t hex_digits(std::uint64_t value) {
    std::size_t count = 1;
    while (value >>= 4) ++count;
    return count;
}

// Whether the kernel tells the socket's IPV6_V6ONLY: an IPv6 listener or
// unconnected UDP socket (as ss -e shows it).
bool v6only_known(const sockscope_socket& socket) {
    const bool unconnected_udp = socket.protocol == 17 && socket.state == SOCKSCOPE_CLOSE;
    return socket.family == 10 && (socket.state == SOCKSCOPE_LISTEN || unconnected_udp);
}

} // namespace

const ColumnTraits& traits_of(Column column) { return column_traits[static_cast<std::size_t>(column)]; }

std::vector<Column> listed_columns(bool extended, bool namespaces, bool table) {
    std::vector<Column> columns = {Column::protocol,   Column::receive_queue, Column::send_queue,
                                   Column::local_address, Column::local_port, Column::peer_address,
                                   Column::peer_port,  Column::state,        Column::user};
    if (namespaces) columns.insert(columns.end() - 1, {Column::netns, Column::container});
    if (extended) columns.insert(columns.end(), {Column::uid, Column::inode, Column::cookie});
    if (extended && table) columns.insert(columns.end(), {Column::v6only, Column::cgroup});
    columns.push_back(Column::owners);
    return columns;
}

bool is_dual_stack_wildcard(const sockscope_socket& socket) {
    const bool unconnected_udp = socket.protocol == 17 && socket.state == SOCKSCOPE_CLOSE;
    return socket.family == 10 && socket.v6only == 0 && all_zero(socket.local_address) &&
           (socket.state == SOCKSCOPE_LISTEN || unconnected_udp);
}

const char* user_container_of(const sockscope_snapshot& snapshot, const sockscope_owner& owner) {
    constexpr std::size_t reaches = offsetof(sockscope_owner, container_user) + sizeof owner.container_user;
    return snapshot.owner_size >= reaches ? owner.user_container : nullptr;
}

bool send_queue_known(const sockscope_socket& socket) { return (socket.flags & SOCKSCOPE_SEND_QUEUE_UNKNOWN) == 0; }

const sockscope_owner* container_of(const sockscope_snapshot& snapshot, const sockscope_socket& socket) {
    for (std::uint32_t i = 0; i < socket.owner_count; ++i) {
        const sockscope_owner* owner = sockscope_owner_at(&snapshot, &socket, i);
        if (owner->container != nullptr || user_container_of(snapshot, *owner) != nullptr) return owner;
    }
    return nullptr;
}

bool has_peer(const sockscope_socket& socket) { return socket.remote_port != 0 || !all_zero(socket.remote_address); }

Cells::Cells(const sockscope_snapshot& snapshot, UserNames& users, bool table, bool extended)
    : snapshot_(snapshot), users_(users), table_(table), extended_(extended) {}

void Cells::append_owner(std::string& out, const sockscope_owner& owner) const {
    append_decimal(out, owner.pid);
    out += '/';
    sockscope_text::append_escaped_utf8_name(out, owner.name != nullptr ? owner.name : owner.comm,
                                             std::string_view(&owner_separator, 1));
    if (extended_) {
        out += ':';
        append_decimal(out, static_cast<std::uint32_t>(owner.fd));
    }
}

void Cells::append(std::string& out, Column column, const sockscope_socket& socket) {
    switch (column) {
    case Column::protocol: out += protocol_name(socket); break;
    case Column::receive_queue: append_decimal(out, socket.receive_queue); break;
    case Column::send_queue:
        if (send_queue_known(socket))
            append_decimal(out, socket.send_queue);
        else
            out += '-';
        break;
    case Column::local_address:
        if (is_dual_stack_wildcard(socket))
            out += '*';
        else
            out += socket.local_text;
        break;
    case Column::local_port: append_decimal(out, socket.local_port); break;
    case Column::peer_address:
        if (has_peer(socket))
            out += socket.remote_text;
        else
            out += '-';
        break;
    case Column::peer_port:
        if (has_peer(socket))
            append_decimal(out, socket.remote_port);
        else
            out += '-';
        break;
    case Column::state:
        if (table_)
            out += table_state_name(socket);
        else
            out += socket.state_name != nullptr ? socket.state_name : "-";
        break;
    case Column::netns:
        if (socket.netns_name != nullptr)
            sockscope_text::append_escaped_utf8_name(out, socket.netns_name);
        else
            append_or_absent(out, socket.netns);
        break;
    case Column::container:
        if (const sockscope_owner* owner = container_of(snapshot_, socket); owner == nullptr) {
            out += '-';
        } else {
            // A user's: "user1000:" before it, never bare like a runtime's.
            const char* container = owner->container;
            if (container == nullptr) {
                container = owner->user_container;
                out += "user";
                append_decimal(out, owner->container_user);
                out += ':';
            }
            if (is_container_id(container))
                out.append(container, shown_id_length);
            else
                sockscope_text::append_escaped_utf8_name(out, container);
        }
        break;
    case Column::user:
        if (const char* name = users_.name_of(socket.uid))
            sockscope_text::append_escaped_utf8_name(out, name);
        else
            append_decimal(out, socket.uid);
        break;
    case Column::uid: append_decimal(out, socket.uid); break;
    case Column::inode: append_or_absent(out, socket.inode); break;
    case Column::cookie:
        if (table_ && socket.cookie != 0)
            append_cookie(out, socket.cookie);
        else
            append_or_absent(out, socket.cookie);
        break;
    case Column::v6only:
        if (v6only_known(socket))
            append_decimal(out, socket.v6only);
        else
            out += '-';
        break;
    case Column::cgroup: {
        // Its first holder's (lowest pid) that has one known.
        const char* cgroup = nullptr;
        for (std::uint32_t i = 0; i < socket.owner_count && cgroup == nullptr; ++i) cgroup = owner(socket, i)->cgroup;
        if (cgroup != nullptr)
            sockscope_text::append_escaped_utf8_name(out, cgroup);
        else
            out += '-';
        break;
    }
    case Column::owners:
        if (socket.owner_count == 0) out += '-';
        for (std::uint32_t i = 0; i < socket.owner_count; ++i) {
            if (i > 0) out += owner_separator;
            append_owner(out, *owner(socket, i));
        }
        break;
    }
}

std::size_t Cells::width(Column column, const sockscope_socket& socket) {
    switch (column) {
    case Column::receive_queue: return decimal_digits(socket.receive_queue);
    case Column::send_queue: return send_queue_known(socket) ? decimal_digits(socket.send_queue) : 1;
    case Column::local_address: return is_dual_stack_wildcard(socket) ? 1 : std::strlen(socket.local_text);
    case Column::local_port: return decimal_digits(socket.local_port);
    case Column::peer_address: return has_peer(socket) ? std::strlen(socket.remote_text) : 1;
    case Column::peer_port: return has_peer(socket) ? decimal_digits(socket.remote_port) : 1;
    case Column::uid: return decimal_digits(socket.uid);
    case Column::v6only: return 1;
    case Column::inode: return socket.inode == 0 ? 1 : decimal_digits(socket.inode);
    case Column::cookie:
        if (socket.cookie == 0) return 1;
        return table_ ? 3 + hex_digits(socket.cookie) : decimal_digits(socket.cookie);
    default: break;
    }
    scratch_.clear();
    append(scratch_, column, socket);
    return sockscope_text::display_width(scratch_);
}

} // namespace sockscope_tool

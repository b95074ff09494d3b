// SPDX-License-Identifier: MIT
// The columns of a listing and the text of each cell, shared by the table
// (on a terminal) and the lines (for a pipe), which show the same fields in
// the same order. A new column is one more Column, its traits, and its cell.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <sockscope/sockets.h>

#include "user_names.h"

namespace sockscope_tool {

enum class Column {
    protocol,
    receive_queue,
    send_queue,
    local_address,
    local_port,
    peer_address,
    peer_port,
    state,
    netns,     // -A
    container, // -A
    user,
    uid,    // -e
    inode,  // -e
    cookie, // -e
    v6only, // -e, the table only
    cgroup, // -e, the table only
    owners, // always last
};

struct ColumnTraits {
    const char* header;
    const char* short_header; // when the column is narrower than header
    bool right_aligned;
    bool address; // elided in the middle when the table is narrow
    bool name = false; // cut at its end when the table is narrow, as far as an address
};

const ColumnTraits& traits_of(Column column);

// The columns listed, in order; `extended` (-e) adds UID, Inode and Cookie
// before the owners (and in the `table`, V6only and Cgroup after them),
// `namespaces` (-A) Netns and Container after State.
std::vector<Column> listed_columns(bool extended, bool namespaces = false, bool table = false);

// The owner whose container is shown for a socket: its first owner (lowest
// pid) that runs in one, a runtime's or one named in a user's cgroup
// (shown "user1000:<id>"); null when none does.
const sockscope_owner* container_of(const sockscope_snapshot& snapshot, const sockscope_socket& socket);

// Whether the socket's send_queue is known (a TCP listener read from
// /proc/net has no backlog limit there).
bool send_queue_known(const sockscope_socket& socket);

// An owner's user_container where the library fills it; null otherwise.
const char* user_container_of(const sockscope_snapshot& snapshot, const sockscope_owner& owner);

// Cells' text: "-" for what does not apply or is not known; names escaped
// for the terminal (owners' names also escape ',', their separator).
class Cells {
public:
    // The table shows ESTABLISHED as ESTAB and the cookie in hex
    // ("sk:f432e"); the lines give every state its standard name and the
    // cookie in decimal. `extended` adds ":fd" to each owner.
    Cells(const sockscope_snapshot& snapshot, UserNames& users, bool table, bool extended);

    void append(std::string& out, Column column, const sockscope_socket& socket);
    // The owners cell's parts: one holder ("1234/nginx", "1234/nginx:5"),
    // and the separator between two.
    void append_owner(std::string& out, const sockscope_owner& owner) const;
    static constexpr char owner_separator = ',';
    const sockscope_owner* owner(const sockscope_socket& socket, std::uint32_t index) const {
        return sockscope_owner_at(&snapshot_, &socket, index);
    }
    // The columns the cell takes on a terminal.
    std::size_t width(Column column, const sockscope_socket& socket);

private:
    const sockscope_snapshot& snapshot_;
    UserNames& users_;
    bool table_, extended_;
    std::string scratch_;
};

// Whether the socket is an IPv6 listener or unconnected UDP socket bound to
// every address that takes IPv4 too (not v6-only), which the address
// columns show as "*", as ss does. A v6-only one shows as "::".
bool is_dual_stack_wildcard(const sockscope_socket& socket);

// Whether the socket has a peer (a connection, a connected UDP socket).
bool has_peer(const sockscope_socket& socket);

} // namespace sockscope_tool

// SPDX-License-Identifier: MIT
// The connection tables the tool can read (TCP and UDP, IPv4 and IPv6): a
// protocol, an address family and the library call that fetches it. A new
// table is one more entry in table_kinds().
#pragma once

#include <span>
#include <vector>

#include <sockscope/sockscope.h>

#include "listed_socket.h"

namespace sockscope_tool {

struct TableKind {
    ListedSocket::Protocol protocol;
    ListedSocket::Family family;
    // Appends the table's rows; returns 0, or the errno value of a failed
    // snapshot (out of memory, no descriptor).
    int (*fetch)(sockscope& library, ListedSocket::Family family, std::vector<ListedSocket>& rows);
};

// Every table this build can read, in the order the tool lists them.
std::span<const TableKind> table_kinds();

// "TCP", "UDP", "TCP6", "UDP6", for messages.
const char* table_title(const TableKind& kind);

} // namespace sockscope_tool

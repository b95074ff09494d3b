// SPDX-License-Identifier: MIT
// What a public member needs from a table: which table, which rows, whose
// owners, and whether owners' names are wanted.
#pragma once

#include <cstdint>

#include "socket_row.h"

namespace sockscope_detail {

struct TableQuery {
    Protocol protocol = Protocol::tcp;
    Family family = Family::ipv4;
    // The rows wanted; null keeps every row. Owners are looked for only for
    // the rows kept.
    bool (*keep)(const SocketRow& row) = nullptr;
    // Processes above this id are not looked at: a caller that only asks
    // which rows process P owns passes P, since no higher id can be the
    // lowest holder of a socket that P holds. Rows owned only above it keep
    // owner 0.
    std::uint32_t last_owner = UINT32_MAX;
    bool with_names = true;
};

} // namespace sockscope_detail

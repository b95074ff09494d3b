// SPDX-License-Identifier: MIT
// What a public member needs from a table: which table, which rows, whose
// owners, and whether owners' names are wanted.
#pragma once

#include <cstdint>

#include "core/socket_row.h"

namespace sockscope_detail {

struct TableQuery {
    Protocol protocol = Protocol::tcp;
    Family family = Family::ipv4;
    // The rows wanted; null keeps every row. Owners are looked for only for
    // the rows kept.
    bool (*keep)(const SocketRow& row) = nullptr;
    // 0: the owner of a socket is the lowest id among its holders. Any
    // other id: only that process's descriptors are looked at, so that a
    // caller asking which sockets process P holds gets P as the owner of
    // every socket P holds, however many others hold it too (a server that
    // forked its workers, a socket passed on). Other rows keep owner 0.
    std::uint32_t only_process = 0;
    bool with_names = true;
};

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
// What a call needs from the kernel's tables: which tables and which of
// their sockets, whose holders, and whether their names are wanted.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/socket_row.h"
#include "core/table_request.h"

namespace sockscope_detail {

struct TableQuery {
    TableQuery() = default;
    // One whole table.
    TableQuery(Protocol protocol, Family family) : tables{TableRequest{protocol, family, 0, {}}} {}

    // The tables read, in this order; each table's rows come back sorted
    // (row_order.h), one table after the other.
    std::vector<TableRequest> tables;
    // The filter expression the tables' requests point to, if any.
    std::shared_ptr<const FilterExpression> expression;
    // Where the tables' dumps keep the details they ask for, if any.
    std::shared_ptr<DetailStore> details;
    // The rows wanted besides; null keeps every row. Holders are looked for
    // only for the rows kept.
    bool (*keep)(const SocketRow& row) = nullptr;
    // 0: the owner of a socket is the lowest id among its holders. Any
    // other id: only that process's descriptors are looked at, so that a
    // caller asking which sockets process P holds gets P as the owner of
    // every socket P holds, however many others hold it too (a server that
    // forked its workers, a socket passed on). Other rows keep owner 0.
    std::uint32_t only_process = 0;
    // Every process that holds a socket, not only its owner (socket_owners.h),
    // and each one's cgroup and container.
    bool every_holder = false;
    // The tables of every network namespace on the machine, not only the
    // caller's (linux/network_namespaces.h).
    bool all_namespaces = false;
    bool with_names = true;
};

} // namespace sockscope_detail

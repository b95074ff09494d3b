// The IPv4 TCP and UDP tables with the owner of every row, in the order
// callers get them.
#pragma once

#include <string_view>
#include <vector>

#include "socket_row.h"

namespace sockscope_detail {

// Where the rows come from: netlink first and /proc/net when netlink is
// refused, or one of them alone (tests use these to compare the two).
enum class TableSource { automatic, netlink, proc_net };

// The rows of the table without owners; empty when no source answers.
std::vector<SocketRow> dump_table(Protocol protocol, TableSource source = TableSource::automatic);

// /proc/net/tcp or /proc/net/udp read in one buffer and parsed; empty when
// it can't be read or parsed.
std::vector<SocketRow> dump_with_proc_net(Protocol protocol, std::string_view path);

// Sorts TCP rows by local address, local port, remote address, remote port
// (each as a host-order number), then owner; UDP rows by local address,
// local port, owner.
void sort_rows(std::vector<SocketRow>& rows, Protocol protocol);

// dump_table, assign_owners and sort_rows together.
std::vector<SocketRow> read_table(Protocol protocol, TableSource source = TableSource::automatic);

} // namespace sockscope_detail

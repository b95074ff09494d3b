// SPDX-License-Identifier: MIT
// The text tables /proc/net/tcp, udp, tcp6 and udp6. A line reads
//
//   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000  0 54321 ...
//
// slot, local address:port, remote address:port, state, send and receive
// queues, timer, retransmits, uid, timeout, inode. An address is the kernel's raw address
// words, each printed as a 32-bit number in hex (one word for IPv4, four for
// IPv6), so on x86-64 "0100007F" is 127.0.0.1; ports are in host order.
// "0100007F:1F90" becomes the address bytes 7F 00 00 01 and the port field
// 0x901F (8080 in network layout).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "core/socket_row.h"
#include "core/table_request.h"

namespace sockscope_detail {

// Appends one row per data line that `request` asks for (the header line
// is skipped). A malformed line fails the parse with EPROTO. The tables
// don't show a socket's cookie, its interface, whether it is v6-only, or a
// listener's backlog limit: those stay 0.
Result<void> parse_proc_net_table(std::string_view text, const TableRequest& request, SocketRows& rows);

} // namespace sockscope_detail

// The text tables /proc/net/tcp and /proc/net/udp. A line reads
//
//   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000  0 54321 ...
//
// slot, local address:port, remote address:port, state, queues, timer,
// retransmits, uid, timeout, inode. Addresses are the kernel's raw 32-bit
// field in hex (so "0100007F" is 127.0.0.1 on x86-64); ports are in host
// order. "0100007F:1F90" becomes local_address 0x0100007F, local_port 0x901F
// (8080 in network layout).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "socket_row.h"

namespace sockscope_detail {

// Appends one row per data line (the header line is skipped). A malformed
// line stops the parse: returns false with `error` naming the line.
bool parse_proc_net_table(std::string_view text, Protocol protocol, std::vector<SocketRow>& rows,
                          std::string& error);

} // namespace sockscope_detail

// SPDX-License-Identifier: MIT
// sockscope --summary: the kernel's counts of the sockets of this process's
// network namespace (/proc/net/sockstat, sockstat6, snmp), as text or as one
// JSON object. The kernel keeps these counts per network namespace, but
// for two: the TCP sockets allocated and the orphans are the whole
// machine's, and so are the TCP total and closed figures made from them;
// the text marks them, the manual page says so.
//
// The JSON object, members always present and in this order:
//
//   {"netns":number|null,            (the namespace's inode; null: not known)
//    "sockets":number,               (of every family)
//    "tcp_total":number,             (allocated + in TIME_WAIT)
//    "tcp_allocated":number, "tcp_established":number, "tcp_closed":number,
//    "tcp_orphaned":number, "tcp_time_wait":number,
//    "raw":{"total":number, "ipv4":number, "ipv6":number|null},
//    "udp":{...}, "tcp":{...}, "inet":{...}, "frag":{...}}  (as "raw")
//
// "ipv6" is null when the kernel has no IPv6.
#pragma once

#include <cstdint>
#include <string>

#include "core/socket_summary.h"
#include "options.h"

namespace sockscope_tool {

struct NamespaceSummary {
    sockscope_detail::SocketSummary counts;
    std::uint64_t netns = 0; // the namespace's inode; 0: not known
};

// Why the summary could not be read: what (a file, or the parser's words)
// and an errno value (0: none).
struct SummaryFailure {
    std::string what;
    int error = 0;
};

// Reads the counts from the /proc mounted at `proc` ("/proc"): its
// net/sockstat, net/sockstat6 (missing: a kernel without IPv6), net/snmp
// and self/ns/net. `what` empty: read whole.
SummaryFailure read_summary(const char* proc, NamespaceSummary& summary);

// The text, ending with a newline.
void append_summary_text(std::string& out, const NamespaceSummary& summary);
// The JSON object, on a line of its own.
void append_summary_json(std::string& out, const NamespaceSummary& summary);

// Reads and prints the summary; returns the exit status (1 when it could
// not be read or written).
int run_summary(const Options& options);

} // namespace sockscope_tool

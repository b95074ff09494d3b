// SPDX-License-Identifier: MIT
// The kernel's counts of sockets, as /proc/net/sockstat, /proc/net/sockstat6
// and /proc/net/snmp print them:
//
//   sockets: used 21
//   TCP: inuse 6 orphan 0 tw 0 alloc 7 mem 0
//   UDP: inuse 0 mem 0
//   RAW: inuse 1
//   FRAG: inuse 0 memory 0
//
// sockstat6 has TCP6, UDP6, RAW6 and FRAG6 lines of the same form, and
// snmp pairs a line of names with a line of values for each protocol
// ("Tcp: ... CurrEstab ..." over "Tcp: ... 2 ..."). Lines and fields the
// parser does not need are skipped, so that a kernel adding some changes
// nothing; a needed one missing, given twice or not a number fails the
// whole parse, and so does a text that does not end with its newline (a
// read cut short): no figure is ever guessed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sockscope_detail {

struct SocketSummary {
    std::uint64_t sockets_used = 0; // every socket of the namespace, of any family
    // TCP: the sockets in the hash tables of each family (listening or
    // connected, TIME_WAIT not among them), orphans (closed by their owners,
    // still sending), TIME_WAIT, every TCP socket allocated, and those in
    // ESTABLISHED or CLOSE_WAIT (snmp's CurrEstab). The kernel counts the
    // orphans and the sockets allocated for the whole machine, the others
    // per network namespace.
    std::uint64_t tcp4 = 0, tcp6 = 0, tcp_orphans = 0, tcp_time_wait = 0, tcp_allocated = 0, tcp_established = 0;
    std::uint64_t udp4 = 0, udp6 = 0;   // bound or connected UDP sockets (not UDP-Lite)
    std::uint64_t raw4 = 0, raw6 = 0;   // raw sockets
    std::uint64_t frag4 = 0, frag6 = 0; // datagrams being reassembled
    bool has_ipv6 = true;               // false: the kernel has no IPv6 (no sockstat6), the *6 are 0

    // Every TCP socket: those allocated, and those in TIME_WAIT, which the
    // kernel keeps apart in smaller structures.
    std::uint64_t tcp_total() const { return tcp_allocated + tcp_time_wait; }
    // The TCP sockets in no hash table: not bound yet, closed, or in
    // TIME_WAIT. Negative only if the kernel's counts disagree.
    std::int64_t tcp_closed() const {
        return static_cast<std::int64_t>(tcp_total()) - static_cast<std::int64_t>(tcp4 + tcp6);
    }
};

// Reads the three texts into `summary`: "" when every figure is there,
// otherwise what is wrong, naming the file and the line ("sockstat: no
// \"TCP:\" line"), and `summary` is left as it was made. No sockstat6
// (nullopt) is a kernel without IPv6.
std::string parse_socket_summary(std::string_view sockstat, std::optional<std::string_view> sockstat6,
                                 std::string_view snmp, SocketSummary& summary);

} // namespace sockscope_detail

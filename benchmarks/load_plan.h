// SPDX-License-Identifier: MIT
// How a loopback load is laid out over holder processes and local
// addresses, and whether the machine can carry it: decided before any
// process is started, so that a load too big for the machine is refused
// with a reason instead of failing half way or starving the machine.
#pragma once

#include <cstdint>

namespace sockscope_bench {

// What the machine allows, as read from /proc (see read_system_limits).
struct SystemLimits {
    std::uint64_t free_files = UINT64_MAX;    // fs.file-max less the files open now
    std::uint64_t available_bytes = UINT64_MAX; // MemAvailable
    std::uint32_t ephemeral_ports = 28232;    // size of net.ipv4.ip_local_port_range
    std::uint64_t free_process_ids = UINT64_MAX; // kernel.pid_max less the tasks running now
};

struct LoadPlan {
    unsigned holders = 0;                // processes that hold connections
    unsigned connections_per_holder = 0; // the last holder may hold fewer
    unsigned files_per_holder = 0;       // descriptors a full holder needs open
    std::uint64_t files = 0;             // descriptors of the whole load
    std::uint64_t kernel_bytes = 0;      // an upper estimate of the kernel memory it takes
};

// Every holder listens on an address of its own, 127.0.0.10 + k. Its
// clients connect from 127.0.0.1 with ports from the ephemeral range, which
// must stay unique toward one listener only: a holder holds at most 2,000
// connections (fewer when the range is small), and the machine as a whole
// can hold many times the range. One UDP socket per ten connections.
// Throws std::runtime_error, naming the limit, when the machine can't
// carry the load with room to spare. Not checked: fs.nr_open (a holder
// needs some 4,200 descriptors; the kernel allows 1,048,576 unless lowered)
// and net.ipv4.tcp_mem (idle connections hold almost no buffers:
// /proc/net/sockstat counts some 270 pages for 20,000 sockets, where the
// kernel's lowest threshold is a few hundred thousand).
LoadPlan plan_load(unsigned connections, unsigned idle_processes, const SystemLimits& limits);

// The limits of this machine; a value that can't be read stays unlimited.
SystemLimits read_system_limits();

// The address holder `k` listens on, in host byte order.
std::uint32_t holder_address(unsigned k);

constexpr unsigned udp_share = 10; // one UDP socket per this many connections

} // namespace sockscope_bench

// SPDX-License-Identifier: MIT
#include "load_plan.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace sockscope_bench {
namespace {

constexpr unsigned max_connections_per_holder = 2000;
// Measured on Linux 6.x: an idle established loopback connection (two
// sockets, two descriptors) takes about 10 KiB of slab, a forked idle
// process about 150 KiB; the estimate doubles both.
constexpr std::uint64_t kernel_bytes_per_connection = 20 * 1024;
constexpr std::uint64_t kernel_bytes_per_process = 300 * 1024;
// stdin, stdout, stderr, the ready pipe, the listener, and spare.
constexpr unsigned fixed_files_per_holder = 16;

std::string with_units(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// The first numbers of a /proc file; false when it can't be read.
bool read_numbers(const char* path, std::uint64_t* values, int count) {
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) return false;
    int read = 0;
    while (read < count) {
        unsigned long long value;
        if (std::fscanf(file, "%llu", &value) != 1) break;
        values[read++] = value;
    }
    std::fclose(file);
    return read == count;
}

std::uint64_t available_memory() {
    FILE* file = std::fopen("/proc/meminfo", "re");
    if (file == nullptr) return UINT64_MAX;
    char line[256];
    std::uint64_t kib = UINT64_MAX;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned long long value;
        if (std::sscanf(line, "MemAvailable: %llu kB", &value) == 1) kib = value;
    }
    std::fclose(file);
    return kib == UINT64_MAX ? kib : kib * 1024;
}

// Tasks running now: the "running/total" field of /proc/loadavg.
std::uint64_t running_tasks() {
    FILE* file = std::fopen("/proc/loadavg", "re");
    if (file == nullptr) return 0;
    unsigned long long total = 0;
    if (std::fscanf(file, "%*s %*s %*s %*u/%llu", &total) != 1) total = 0;
    std::fclose(file);
    return total;
}

} // namespace

std::uint32_t holder_address(unsigned k) { return (127u << 24) + 10u + k; }

LoadPlan plan_load(unsigned connections, unsigned idle_processes, const SystemLimits& limits) {
    LoadPlan plan;
    if (limits.ephemeral_ports < 64) throw std::runtime_error("net.ipv4.ip_local_port_range holds too few ports");
    plan.connections_per_holder = std::min(max_connections_per_holder, limits.ephemeral_ports / 2);
    plan.holders = (connections + plan.connections_per_holder - 1) / plan.connections_per_holder;
    if (plan.holders > (1u << 23)) throw std::runtime_error("too many connections for 127.0.0.0/8");
    plan.files_per_holder = 2 * plan.connections_per_holder + plan.connections_per_holder / udp_share +
                            fixed_files_per_holder;
    plan.files = 2ull * connections + connections / udp_share + 3ull * idle_processes +
                 std::uint64_t{fixed_files_per_holder} * plan.holders;
    const std::uint64_t processes = std::uint64_t{plan.holders} + idle_processes;
    plan.kernel_bytes = kernel_bytes_per_connection * connections + kernel_bytes_per_process * processes;

    // Half of what is free at most: the machine is shared, and the tools
    // measured beside the load need room too.
    if (plan.files > limits.free_files / 2)
        throw std::runtime_error("the load needs " + std::to_string(plan.files) +
                                 " open files; fs.file-max leaves " + std::to_string(limits.free_files));
    if (plan.kernel_bytes > limits.available_bytes / 2)
        throw std::runtime_error("the load needs up to " + with_units(plan.kernel_bytes) +
                                 " of kernel memory; " + with_units(limits.available_bytes) + " are available");
    if (processes > limits.free_process_ids / 2)
        throw std::runtime_error("the load needs " + std::to_string(processes) +
                                 " processes; kernel.pid_max leaves " + std::to_string(limits.free_process_ids));
    return plan;
}

SystemLimits read_system_limits() {
    SystemLimits limits;
    std::uint64_t files[3], file_max[1], ports[2], pid_max[1];
    if (read_numbers("/proc/sys/fs/file-nr", files, 3) && read_numbers("/proc/sys/fs/file-max", file_max, 1))
        limits.free_files = file_max[0] > files[0] ? file_max[0] - files[0] : 0;
    if (read_numbers("/proc/sys/net/ipv4/ip_local_port_range", ports, 2) && ports[1] >= ports[0])
        limits.ephemeral_ports = static_cast<std::uint32_t>(ports[1] - ports[0] + 1);
    if (read_numbers("/proc/sys/kernel/pid_max", pid_max, 1)) {
        const std::uint64_t running = running_tasks();
        limits.free_process_ids = pid_max[0] > running ? pid_max[0] - running : 0;
    }
    limits.available_bytes = available_memory();
    return limits;
}

} // namespace sockscope_bench

// SPDX-License-Identifier: MIT
// What the connection stream costs processes that never touch a socket,
// and processes that do:
//
//   stream_tax_benchmark [PAIRS [MILLISECONDS]]
//
// Three workloads, each in this process for MILLISECONDS (default 300) of
// its own CPU time (the least time per call of ten slices of it): a loop of
// getppid() system calls, a loop of 4 KiB pread() calls from a file in the
// page cache (file I/O only), and a byte sent over a loopback TCP
// connection and received at its accepted end (where the default stream's
// programs run, once per call). Each is
// timed without a stream, with a stream as opened by default, and with a
// stream that sees accepts at every system call's exit (the option), in
// turn, PAIRS times (default 9): the machine drifts less within a turn
// than over the run. Prints each workload's time per call and the median
// ratio to the turn's run without a stream (with the least and most), and
// the BPF programs that others have attached to the stream's hooks,
// which make every call dearer whatever the stream does.
//
// Run as root, from the bench preset: build-bench/benchmarks/stream_tax_benchmark
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "hook_neighbours.h"
#include "linux/connection_stream.h"

using namespace sockscope_detail;

namespace {

double thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Nanoseconds of this thread's CPU per call of `call`, over `budget_ns`:
// the least of ten slices, since what other processes do to the caches and
// the CPU's time only ever adds (other jobs may share the machine).
template <typename Call>
double ns_per_call(Call call, double budget_ns) {
    double least = 0;
    for (int slice = 0; slice < 10; ++slice) {
        const double start = thread_cpu_ns();
        unsigned long long calls = 0;
        double now = start;
        while (now - start < budget_ns / 10) {
            for (int i = 0; i < 1000; ++i) call();
            calls += 1000;
            now = thread_cpu_ns();
        }
        const double each = (now - start) / static_cast<double>(calls);
        if (slice == 0 || each < least) least = each;
    }
    return least;
}

// A loopback TCP connection: its connecting end in ends[0], its accepted
// end in ends[1]; false when it can't be made.
bool loopback_connection(int ends[2]) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ends[0] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool made = listener >= 0 && ends[0] >= 0 &&
                      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                      listen(listener, 1) == 0 &&
                      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
                      connect(ends[0], reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                      (ends[1] = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;
    if (listener >= 0) close(listener);
    return made;
}

enum Mode { without, by_default, exact_accepts, modes };
const char* const mode_names[modes] = {"without", "default", "--exact-accepts"};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 9;
    const double budget_ns = (argc > 2 ? std::atof(argv[2]) : 300) * 1e6;
    if (pairs <= 0 || budget_ns <= 0) {
        std::fprintf(stderr, "usage: %s [PAIRS [MILLISECONDS]]\n", argv[0]);
        return 2;
    }
    char path[] = "/tmp/sockscope-tax-XXXXXX";
    const int file = mkstemp(path);
    if (file < 0) {
        std::perror("mkstemp");
        return 1;
    }
    unlink(path);
    char block[4096] = {};
    if (pwrite(file, block, sizeof block, 0) != static_cast<ssize_t>(sizeof block)) {
        std::perror("pwrite");
        return 1;
    }
    int connection[2] = {-1, -1};
    if (!loopback_connection(connection)) {
        std::perror("loopback connection");
        return 1;
    }
    std::printf("BPF links of others on the stream's hooks: %s\n", sockscope_bench::hook_neighbours().c_str());

    const char* const workloads[] = {"getppid()", "pread() 4 KiB", "TCP send+recv"};
    constexpr int workload_count = 3;
    std::vector<double> times[workload_count][modes];
    const char* accept_hook[modes] = {"-", "?", "?"};
    for (int pair = 0; pair < pairs; ++pair) {
        for (int mode = without; mode < modes; ++mode) {
            ConnectionStream* stream = nullptr;
            if (mode != without) {
                ConnectionStreamOptions options;
                options.accept_at_syscall_exit = mode == exact_accepts;
                const Result<ConnectionStream*> opened = open_connection_stream(options);
                if (!opened) {
                    std::printf("the stream could not be opened: %s\n", std::strerror(opened.error()));
                    return 1;
                }
                stream = *opened;
                if (const Result<ConnectionStreamDebug> debug = connection_stream_debug(stream))
                    accept_hook[mode] = debug->accept_hook;
            }
            // A tracepoint's programs change within an RCU grace period.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            times[0][mode].push_back(ns_per_call([] { ::syscall(SYS_getppid); }, budget_ns));
            times[1][mode].push_back(ns_per_call([&] { (void)!pread(file, block, sizeof block, 0); }, budget_ns));
            times[2][mode].push_back(ns_per_call(
                [&] {
                    (void)!send(connection[0], block, 1, 0);
                    (void)!recv(connection[1], block, 1, 0);
                },
                budget_ns));
            close_connection_stream(stream);
        }
    }
    std::printf("%d turns of %.0f ms CPU per workload and mode (accepts: default %s, --exact-accepts %s)\n", pairs,
                budget_ns / 1e6, accept_hook[by_default], accept_hook[exact_accepts]);
    for (int w = 0; w < workload_count; ++w) {
        std::printf("%-14s without %6.1f ns/call", workloads[w], median(times[w][without]));
        for (int mode = by_default; mode < modes; ++mode) {
            std::vector<double> ratios;
            for (int pair = 0; pair < pairs; ++pair) ratios.push_back(times[w][mode][pair] / times[w][without][pair]);
            std::printf("; %s %6.1f ns/call, %.3fx (turns %.3f-%.3f)", mode_names[mode], median(times[w][mode]),
                        median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                        *std::max_element(ratios.begin(), ratios.end()));
        }
        std::printf("\n");
    }
    close(file);
    close(connection[0]);
    close(connection[1]);
    return 0;
}

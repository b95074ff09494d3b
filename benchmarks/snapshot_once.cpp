// SPDX-License-Identifier: MIT
// Takes TCP snapshots as any caller would, for timing and measuring the
// library from outside. The owner source is the library's own choice, so
// the same commands measure either path (SOCKSCOPE_OWNER_SCAN=proc in the
// environment asks for the /proc scan).
//
//   snapshot_once                 one snapshot, the first call of a fresh
//                                 process: prints its row count
//   snapshot_once --repeat K      two snapshots to warm up, then K more:
//                                 prints the median milliseconds of those K
//                                 and the fastest
//   snapshot_once --memory        for the first and for a repeated snapshot
//                                 (the third): the heap bytes it hands over
//                                 and, under the heap counter preload
//                                 (heap_counter.cpp), the peak heap growth
//                                 while it is taken
//   snapshot_once --against-c K   the same table (TCP, IPv4) through
//                                 getstat_tcp and through the C interface
//                                 (sockscope_snapshot_take, every holder
//                                 with its names), alternating, K rounds
//                                 after two of each to warm up: prints both
//                                 medians in milliseconds and their ratio
//   snapshot_once --details K     the C interface's snapshot (TCP, IPv4,
//                                 every holder) without details, with TCP
//                                 info, and with TCP info, timers and
//                                 memory, in turn, K rounds after two of
//                                 each: prints the medians and the ratios
//   snapshot_once --c-memory      the C interface's snapshot and walk (TCP,
//                                 IPv4, every holder): the block's bytes a
//                                 socket and, under the heap counter
//                                 preload, each one's peak heap growth a
//                                 socket
//   snapshot_once --c             one snapshot through the C interface (TCP,
//                                 IPv4, every holder), as the tool takes it:
//                                 prints its socket count
//   snapshot_once --owner-source  after two snapshots, "kernel-iterator" when
//                                 this process holds a BPF object (the
//                                 library loaded its iterator) or "proc-scan"
//
// The library loads its iterator, where it may, on a process's second call
// that needs owners, or on its first when the machine holds a large table;
// "repeated" means after that.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <functional>
#include <malloc.h>
#include <unistd.h>
#include <vector>

#include <sockscope/sockets.h>
#include <sockscope/sockscope.h>

namespace {

std::uint32_t row_count(const statTCPROW* rows) { return rows == nullptr ? 0 : rows[0].size; }

std::size_t returned_bytes(const statTCPROW* rows) {
    if (rows == nullptr) return 0;
    std::size_t bytes = malloc_usable_size(const_cast<statTCPROW*>(rows));
    for (std::uint32_t i = 0; i < row_count(rows); ++i)
        bytes += malloc_usable_size(rows[i].LocalAddr) + malloc_usable_size(rows[i].RemoteAddr) +
                 malloc_usable_size(rows[i].ProcessName);
    return bytes;
}

int repeat(sockscope& library, int repeats) {
    for (int i = 0; i < 2; ++i) library.getstat_free(library.getstat_tcp()); // warm-up, and what loads once
    std::vector<double> samples;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        statTCPROW* rows = library.getstat_tcp();
        library.getstat_free(rows);
        samples.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        if (rows == nullptr) {
            std::fprintf(stderr, "getstat_tcp failed\n");
            return 1;
        }
    }
    std::sort(samples.begin(), samples.end());
    std::printf("%.2f %.2f\n", samples[samples.size() / 2], samples.front());
    return 0;
}

double milliseconds_of(const std::function<bool()>& call) {
    const auto start = std::chrono::steady_clock::now();
    if (!call()) {
        std::fprintf(stderr, "a snapshot failed\n");
        std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

int against_c(sockscope& library, int rounds) {
    const auto specified = [&library] {
        statTCPROW* rows = library.getstat_tcp();
        library.getstat_free(rows);
        return rows != nullptr;
    };
    const auto c_interface = [] {
        sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
        selection.what = SOCKSCOPE_TCP | SOCKSCOPE_IPV4;
        sockscope_snapshot* snapshot = sockscope_snapshot_take(&selection);
        sockscope_snapshot_free(snapshot);
        return snapshot != nullptr;
    };
    std::vector<double> first, second;
    for (int i = 0; i < 2; ++i) milliseconds_of(specified), milliseconds_of(c_interface);
    for (int i = 0; i < rounds; ++i) {
        first.push_back(milliseconds_of(specified));
        second.push_back(milliseconds_of(c_interface));
    }
    std::printf("getstat_tcp %.2f ms, sockscope_snapshot_take %.2f ms, ratio %.2f\n", median(first), median(second),
                median(second) / median(first));
    return 0;
}

int against_details(int rounds) {
    const auto taken = [](std::uint32_t details) {
        return [details] {
            sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
            selection.what = SOCKSCOPE_TCP | SOCKSCOPE_IPV4;
            selection.details = details;
            sockscope_snapshot* snapshot = sockscope_snapshot_take(&selection);
            sockscope_snapshot_free(snapshot);
            return snapshot != nullptr;
        };
    };
    const auto plain = taken(0), info = taken(SOCKSCOPE_TCP_INFO),
               every = taken(SOCKSCOPE_TCP_INFO | SOCKSCOPE_TIMER | SOCKSCOPE_MEMORY);
    std::vector<double> without, with_info, with_every;
    for (int i = 0; i < 2; ++i) milliseconds_of(plain), milliseconds_of(info), milliseconds_of(every);
    for (int i = 0; i < rounds; ++i) {
        without.push_back(milliseconds_of(plain));
        with_info.push_back(milliseconds_of(info));
        with_every.push_back(milliseconds_of(every));
    }
    std::printf("without details %.2f ms; with TCP info %.2f ms (%.2f x); with TCP info, timers and memory %.2f ms "
                "(%.2f x)\n",
                median(without), median(with_info), median(with_info) / median(without), median(with_every),
                median(with_every) / median(without));
    return 0;
}

// The heap counter preload's functions, when it is loaded.
struct HeapCounter {
    void (*reset)() = reinterpret_cast<void (*)()>(dlsym(RTLD_DEFAULT, "sockscope_heap_counter_reset"));
    long long (*peak)() = reinterpret_cast<long long (*)()>(dlsym(RTLD_DEFAULT, "sockscope_heap_counter_peak"));
    bool present() const { return reset != nullptr && peak != nullptr; }
};

int memory(sockscope& library) {
    const HeapCounter counter;
    for (const char* call : {"first", "second", "repeated"}) {
        if (counter.present()) counter.reset();
        statTCPROW* rows = library.getstat_tcp();
        if (counter.present()) std::printf("%s_peak_bytes %lld\n", call, counter.peak());
        std::printf("%s_returned_bytes %zu\n%s_rows %u\n", call, returned_bytes(rows), call, row_count(rows));
        library.getstat_free(rows);
    }
    return 0;
}

// The C interface's TCP IPv4 sockets, with every holder, taken as a
// snapshot and walked, each the third of its kind: the snapshot's block in
// bytes a socket and, under the heap counter preload, the peak heap growth
// of each in bytes a socket.
int c_memory() {
    const HeapCounter counter;
    sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
    selection.what = SOCKSCOPE_TCP | SOCKSCOPE_IPV4;
    for (int round = 0; round < 3; ++round) {
        if (counter.present()) counter.reset();
        sockscope_snapshot* snapshot = sockscope_snapshot_take(&selection);
        if (snapshot == nullptr) return 1;
        const long long peak = counter.present() ? counter.peak() : 0;
        if (round == 2) {
            const double rows = static_cast<double>(std::max<std::size_t>(snapshot->count, 1));
            std::printf("snapshot_rows %zu\nsnapshot_block_bytes_a_row %.0f\n", snapshot->count,
                        static_cast<double>(malloc_usable_size(snapshot)) / rows);
            if (counter.present()) std::printf("snapshot_peak_bytes_a_row %.0f\n", static_cast<double>(peak) / rows);
        }
        sockscope_snapshot_free(snapshot);
    }
    for (int round = 0; round < 3; ++round) {
        if (counter.present()) counter.reset();
        sockscope_walk* walk = sockscope_walk_start(&selection);
        if (walk == nullptr) return 1;
        const std::size_t count = sockscope_walk_header(walk)->count;
        for (std::size_t i = 0; i < count; ++i) sockscope_walk_socket(walk, i);
        const long long peak = counter.present() ? counter.peak() : 0;
        if (round == 2 && counter.present())
            std::printf("walk_rows %zu\nwalk_peak_bytes_a_row %.0f\n", count,
                        static_cast<double>(peak) / static_cast<double>(std::max<std::size_t>(count, 1)));
        sockscope_walk_end(walk);
    }
    return 0;
}

// Whether this process holds a BPF program, link or map.
bool holds_bpf_object() {
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) return false;
    bool found = false;
    while (const dirent* entry = readdir(folder)) {
        char path[300], link[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%s", entry->d_name);
        const ssize_t length = readlink(path, link, sizeof link - 1);
        if (length > 0 && std::strncmp(link, "anon_inode:bpf", std::strlen("anon_inode:bpf")) == 0) found = true;
    }
    closedir(folder);
    return found;
}

} // namespace

int main(int argc, char** argv) {
    sockscope library;
    const char* option = argc > 1 ? argv[1] : "";
    if (std::strcmp(option, "--repeat") == 0 && argc > 2) return repeat(library, std::max(1, std::atoi(argv[2])));
    if (std::strcmp(option, "--memory") == 0) return memory(library);
    if (std::strcmp(option, "--c-memory") == 0) return c_memory();
    if (std::strcmp(option, "--against-c") == 0 && argc > 2) return against_c(library, std::max(1, std::atoi(argv[2])));
    if (std::strcmp(option, "--details") == 0 && argc > 2) return against_details(std::max(1, std::atoi(argv[2])));
    if (std::strcmp(option, "--c") == 0) {
        sockscope_selection selection = SOCKSCOPE_SELECTION_INIT;
        selection.what = SOCKSCOPE_TCP | SOCKSCOPE_IPV4;
        sockscope_snapshot* snapshot = sockscope_snapshot_take(&selection);
        if (snapshot == nullptr) return 1;
        std::printf("%zu\n", snapshot->count);
        sockscope_snapshot_free(snapshot);
        return 0;
    }
    if (std::strcmp(option, "--owner-source") == 0) library.getstat_free(library.getstat_tcp());
    statTCPROW* rows = library.getstat_tcp();
    if (std::strcmp(option, "--owner-source") == 0) std::printf("%s\n", holds_bpf_object() ? "kernel-iterator" : "proc-scan");
    else std::printf("%u\n", row_count(rows));
    library.getstat_free(rows);
    return rows == nullptr ? 1 : 0;
}

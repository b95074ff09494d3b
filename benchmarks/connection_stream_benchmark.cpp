// SPDX-License-Identifier: MIT
// What the connection stream costs and how well it keeps up, under a
// loopback churn of short connections:
//
//   connection_stream_benchmark [SECONDS [ROUNDS [RATE]]]
//
// 1. Attach: five streams opened, each in a fresh process (libbpf opened,
//    the program loaded and attached, the snapshot taken): wall-clock and
//    CPU time of the open.
// 2. Churn, in a network namespace of its own: a server process accepts
//    and closes, two client processes connect and close, as fast as they
//    can (or RATE connections a second in all), for SECONDS (default 5)
//    per round; ROUNDS (default 3) rounds without and with a stream,
//    alternating. With a stream, a reader thread drains it every 10 ms.
//    Each round has a namespace of its own, made afresh: in one that
//    lasts, the connections in TIME_WAIT pile up from round to round (the
//    client closes first) and make each connection dearer than the one
//    before (connect looks longer for a free port), so that each round
//    would cost more than the round before it, whichever it is.
//    Prints per round the connection rate, the whole machine's busy CPU
//    per connection (every process's, see machine_busy_seconds), the churn's
//    and reader's own CPU per connection, and with a stream the records of
//    the churn read, the records lost, and the delay from each close to
//    its record being read. Says so when the churn fell short of RATE,
//    and lists the BPF links that others have attached to the stream's
//    hooks (their cost is in the machine's figure too).
//
// Run as root, from the bench preset: build-bench/benchmarks/connection_stream_benchmark
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "hook_neighbours.h"
#include "linux/connection_stream.h"

using namespace sockscope_detail;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_of(const timespec& t) { return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9; }

double process_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return seconds_of(t);
}

// The CPU time a running process has had, from /proc/<id>/schedstat (its
// first field, in ns): exact, where the user and system times of
// /proc/<id>/stat are counted in scheduler ticks. It takes in the softirq
// work done in the process's own time, which on loopback is most of the
// network's.
double process_cpu_seconds(pid_t process) {
    std::ifstream file("/proc/" + std::to_string(process) + "/schedstat");
    unsigned long long ns = 0;
    file >> ns;
    return static_cast<double>(ns) / 1e9;
}

// The CPU time every task of the machine has had, in seconds: the root
// cpuacct cgroup's usage, which the scheduler charges in nanoseconds as
// tasks run (softirq work counts in the task it ran in). Where there is
// none, the busy time of /proc/stat (user, nice, system, irq, softirq),
// which is sampled at each scheduler tick: with a churn that wakes at a
// steady rate, the samples can fall in step with it and count a tenth or
// ten times the work.
double machine_busy_seconds() {
    std::ifstream usage("/sys/fs/cgroup/cpuacct/cpuacct.usage");
    unsigned long long ns = 0;
    if (usage >> ns) return static_cast<double>(ns) / 1e9;
    std::ifstream stat("/proc/stat");
    std::string cpu;
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq;
    return static_cast<double>(user + nice + system + irq + softirq) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void attach_times() {
    std::vector<double> walls, cpus;
    for (int trial = 0; trial < 5; ++trial) {
        // A tracepoint attached again within an RCU grace period of its
        // detaching waits for the grace period: let it pass.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int report[2];
        if (pipe(report) != 0) return;
        const pid_t child = fork();
        if (child == 0) {
            const auto start = Clock::now();
            const double cpu_start = process_cpu_seconds();
            const Result<ConnectionStream*> stream = open_connection_stream({});
            double result[2] = {std::chrono::duration<double, std::milli>(Clock::now() - start).count(),
                                (process_cpu_seconds() - cpu_start) * 1000};
            if (!stream)
                result[0] = -stream.error();
            else
                close_connection_stream(*stream);
            if (write(report[1], result, sizeof result) != sizeof result) _exit(1);
            _exit(0);
        }
        double result[2] = {-1, -1};
        const ssize_t got = read(report[0], result, sizeof result);
        close(report[0]);
        close(report[1]);
        waitpid(child, nullptr, 0);
        if (got != sizeof result || result[0] < 0) {
            std::printf("attach: the stream could not be opened (%s)\n", std::strerror(static_cast<int>(-result[0])));
            return;
        }
        walls.push_back(result[0]);
        cpus.push_back(result[1]);
    }
    std::sort(walls.begin(), walls.end());
    std::sort(cpus.begin(), cpus.end());
    std::printf("attach (open in a fresh process, 5 times): wall min %.1f median %.1f max %.1f ms; "
                "CPU min %.1f median %.1f max %.1f ms\n",
                walls.front(), walls[2], walls.back(), cpus.front(), cpus[2], cpus.back());
}

// Connections made so far, shared with the client processes.
struct Shared {
    std::atomic<unsigned long long> connections[2];
    std::atomic<int> stop;
};

sockaddr_in loopback(unsigned port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

[[noreturn]] void serve(int listener) {
    for (;;) {
        const int connection = accept(listener, nullptr, nullptr);
        if (connection >= 0) close(connection);
    }
}

// Connects and closes until told to stop, at `rate` a second (0: as fast
// as it can).
[[noreturn]] void churn(Shared* shared, int slot, unsigned port, double rate) {
    const sockaddr_in server = loopback(port);
    const auto start = Clock::now();
    unsigned long long made = 0;
    while (shared->stop.load(std::memory_order_relaxed) == 0) {
        if (rate > 0) {
            const auto due = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(made / rate));
            if (Clock::now() < due) {
                std::this_thread::sleep_until(due);
                continue;
            }
        }
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0) {
            ++made;
            shared->connections[slot].store(made, std::memory_order_relaxed);
        }
        if (fd >= 0) close(fd);
    }
    _exit(0);
}

// Drains a stream every 10 ms; keeps the delays from close to read in
// 0.1 ms buckets.
struct Reader {
    ConnectionStream* stream;
    std::uint64_t network_namespace;
    std::atomic<bool> stop{false};
    unsigned long long records = 0, lost = 0, lost_for_room = 0, lost_unseen = 0;
    std::vector<unsigned long long> delays = std::vector<unsigned long long>(10001); // last: 1 s or more

    void run() {
        std::vector<ConnectionRecord> batch(4096);
        auto next = Clock::now();
        while (!stop.load()) {
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
            for (int reads = 0; reads < 64; ++reads) {
                std::uint64_t dropped = 0;
                const Result<std::size_t> read = read_connection_records(stream, batch.data(), batch.size(), &dropped);
                lost += dropped;
                const long got = read ? static_cast<long>(*read) : -1;
                if (got <= 0) break;
                timespec now{};
                clock_gettime(CLOCK_REALTIME, &now);
                const std::int64_t now_ns = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
                for (long i = 0; i < got; ++i) {
                    const ConnectionRecord& record = batch[static_cast<std::size_t>(i)];
                    if (record.network_namespace != network_namespace || record.kind != ConnectionKind::closed) continue;
                    ++records;
                    const auto bucket = std::clamp<std::int64_t>((now_ns - record.closed_ns) / 100000, 0, 10000);
                    ++delays[static_cast<std::size_t>(bucket)];
                }
            }
        }
    }

    double delay_ms(double fraction) const {
        const auto wanted = static_cast<unsigned long long>(fraction * static_cast<double>(records));
        unsigned long long seen = 0;
        for (std::size_t bucket = 0; bucket < delays.size(); ++bucket)
            if ((seen += delays[bucket]) > wanted || seen == records) return (static_cast<double>(bucket) + 1) / 10;
        return 0;
    }
};

// The churn's processes and this one (with the reader).
double own_cpu_seconds(const std::vector<pid_t>& churners) {
    double total = process_cpu_seconds();
    for (const pid_t process : churners) total += process_cpu_seconds(process);
    return total;
}

// A namespace of its own with the churn running in it: the listener's
// server process and two clients.
struct Churn {
    Shared* shared = nullptr;
    std::vector<pid_t> children;
    std::uint64_t network_namespace = 0;

    // False, with a line on stderr, when it can't be made.
    bool start(double rate) {
        if (unshare(CLONE_NEWNET) != 0 ||
            std::system("ip link set lo up && sysctl -qw net.ipv4.ip_local_port_range='1024 65000'") != 0) {
            std::fprintf(stderr, "can't make a network namespace for the churn (not root?)\n");
            return false;
        }
        struct stat own_namespace{};
        stat("/proc/self/ns/net", &own_namespace);
        network_namespace = own_namespace.st_ino;

        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, 4096) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::perror("listen");
            if (listener >= 0) close(listener);
            return false;
        }
        void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            close(listener);
            return false;
        }
        shared = new (memory) Shared{};
        // A failed fork is kept out of `children`: kill(-1) would reach
        // every process.
        const pid_t server = fork();
        if (server == 0) serve(listener);
        if (server > 0) children.push_back(server);
        close(listener);
        for (int slot = 0; slot < 2 && server > 0; ++slot) {
            const pid_t client = fork();
            if (client == 0) churn(shared, slot, ntohs(address.sin_port), rate / 2);
            if (client < 0) break;
            children.push_back(client);
        }
        if (children.size() == 3) return true;
        std::perror("fork");
        return false;
    }

    // Ends its processes; the namespace goes with the last of them (and
    // with it every connection left in TIME_WAIT, which the kernel ends in
    // the background: the next round's settling time covers it).
    ~Churn() {
        if (shared == nullptr) return;
        shared->stop = 1;
        for (const pid_t child : children) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        munmap(shared, sizeof(Shared));
    }
};

struct RoundResult {
    double rate = 0, machine_us = 0, own_us = 0;
};

RoundResult round(bool with_stream, double seconds, const std::vector<pid_t>& churners, Shared* shared,
                  Reader& reader) {
    std::thread draining;
    if (with_stream) {
        const Result<ConnectionStream*> opened = open_connection_stream({});
        if (!opened) {
            std::printf("the stream could not be opened: %s\n", std::strerror(opened.error()));
            std::exit(1);
        }
        reader.stream = *opened;
        reader.stop = false;
        draining = std::thread([&reader] { reader.run(); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // settle
    const auto count = [shared] { return shared->connections[0].load() + shared->connections[1].load(); };
    const unsigned long long made_before = count();
    const double busy_before = machine_busy_seconds(), own_before = own_cpu_seconds(churners);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const unsigned long long made = count() - made_before;
    const double busy = machine_busy_seconds() - busy_before, own = own_cpu_seconds(churners) - own_before;
    if (with_stream) {
        reader.stop = true;
        draining.join();
        if (const Result<ConnectionStreamDebug> debug = connection_stream_debug(reader.stream)) {
            reader.lost_for_room += debug->lost_for_room;
            reader.lost_unseen += debug->lost_unseen;
        }
        close_connection_stream(reader.stream);
    }
    const RoundResult result{static_cast<double>(made) / elapsed, busy / static_cast<double>(made) * 1e6,
                             own / static_cast<double>(made) * 1e6};
    std::printf("%-12s %7.0f conn/s  CPU/conn: machine %5.1f us, churn+reader %5.1f us\n",
                with_stream ? "with stream" : "without", result.rate, result.machine_us, result.own_us);
    std::fflush(stdout);
    return result;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const double rate = argc > 3 ? std::atof(argv[3]) : 0;
    if (seconds <= 0 || rounds <= 0 || rate < 0) {
        std::fprintf(stderr, "usage: %s [SECONDS [ROUNDS [RATE]]]\n", argv[0]);
        return 2;
    }
    std::printf("BPF links of others on the stream's hooks: %s\n", sockscope_bench::hook_neighbours().c_str());
    attach_times();

    std::printf("churn: %s, %g s a round\n", rate > 0 ? (std::to_string(static_cast<long>(rate)) + " connections/s").c_str()
                                                     : "as fast as it goes", seconds);
    Reader reader{nullptr, 0};
    std::vector<double> rates[2], machine[2], own[2];
    for (int i = 0; i < rounds; ++i) {
        for (const bool with_stream : {false, true}) {
            RoundResult result;
            {
                Churn churn;
                if (!churn.start(rate)) return 1;
                reader.network_namespace = churn.network_namespace;
                result = round(with_stream, seconds, churn.children, churn.shared, reader);
            }
            // The last namespace's connections are ended by the kernel in
            // the background: not in the next round's time.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            rates[with_stream].push_back(result.rate);
            machine[with_stream].push_back(result.machine_us);
            own[with_stream].push_back(result.own_us);
        }
    }
    // Each round with a stream against the round without just before it:
    // the machine drifts less within a pair than over the run.
    std::vector<double> paired;
    for (int i = 0; i < rounds; ++i) paired.push_back(machine[1][i] / machine[0][i]);
    std::printf("median of %d rounds: %.0f conn/s without, %.0f with; CPU per connection: machine %.1f -> %.1f us "
                "(%+.1f %%; paired, median %+.1f %%, least %+.1f %%, most %+.1f %%), churn+reader %.1f -> %.1f us "
                "(%+.1f %%)\n",
                rounds, median(rates[0]), median(rates[1]), median(machine[0]), median(machine[1]),
                (median(machine[1]) / median(machine[0]) - 1) * 100, (median(paired) - 1) * 100,
                (*std::min_element(paired.begin(), paired.end()) - 1) * 100,
                (*std::max_element(paired.begin(), paired.end()) - 1) * 100, median(own[0]), median(own[1]),
                (median(own[1]) / median(own[0]) - 1) * 100);
    for (const bool with_stream : {false, true})
        if (rate > 0 && median(rates[with_stream]) < 0.95 * rate)
            std::printf("note: the churn fell short of its rate %s the stream: %.0f of %.0f connections/s\n",
                        with_stream ? "with" : "without", median(rates[with_stream]), rate);
    std::printf("with the stream: %llu records of the churn read, %llu lost (%llu for want of room, %llu state changes "
                "unseen); delay from close to read: median %.1f, 99th percentile %.1f, max %.1f ms\n",
                reader.records, reader.lost, reader.lost_for_room, reader.lost_unseen, reader.delay_ms(0.5),
                reader.delay_ms(0.99), reader.delay_ms(1.0));

    return 0;
}

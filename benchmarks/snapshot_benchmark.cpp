// SPDX-License-Identifier: MIT
// Times the library's members on a machine holding N established loopback
// connections (N = 100, 1,000, 10,000), opened by child processes that this
// program starts and reaps. Reports rows per second.
#include <benchmark/benchmark.h>
#include <map>
#include <memory>

#include <sockscope/sockscope.h>

#include "loopback_load.h"

namespace {

using sockscope_bench::LoopbackLoad;

// One load per size, kept for all the benchmarks of that size.
LoopbackLoad& load_for(unsigned connections) {
    static std::map<unsigned, std::unique_ptr<LoopbackLoad>> loads;
    auto& load = loads[connections];
    if (!load) {
        loads.clear(); // one load at a time
        auto& fresh = loads[connections];
        fresh = std::make_unique<LoopbackLoad>(connections);
        return *fresh;
    }
    return *load;
}

// One snapshot taken and released per iteration.
template <typename Row, Row* (sockscope::*Take)()>
void BM_snapshot(benchmark::State& state) {
    load_for(static_cast<unsigned>(state.range(0)));
    sockscope library;
    std::uint32_t rows = 0;
    for (auto _ : state) {
        Row* snapshot = (library.*Take)();
        rows = snapshot[0].size;
        library.getstat_free(snapshot);
    }
    state.counters["rows"] = rows;
    state.counters["rows_per_second"] = benchmark::Counter(static_cast<double>(rows) * state.iterations(),
                                                           benchmark::Counter::kIsRate);
}

void BM_getProcessId(benchmark::State& state) {
    load_for(static_cast<unsigned>(state.range(0)));
    sockscope library;
    for (auto _ : state) benchmark::DoNotOptimize(library.getProcessId(u"no-such-process-name"));
}

void BM_getnetPort_gx2(benchmark::State& state) {
    LoopbackLoad& load = load_for(static_cast<unsigned>(state.range(0)));
    // The name is this program's own: it holds no socket, so the owner of
    // every loopback row is looked for, the lookup's worst case.
    sockscope library;
    for (auto _ : state) benchmark::DoNotOptimize(library.getnetPort_gx2(u"snapshot_benchmark"));
    state.counters["rows"] = load.tcp_rows();
    state.counters["rows_per_second"] = benchmark::Counter(static_cast<double>(load.tcp_rows()) * state.iterations(),
                                                           benchmark::Counter::kIsRate);
}

#define SIZES Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime()
BENCHMARK_TEMPLATE(BM_snapshot, statTCPROW, &sockscope::getstat_tcp)->Name("BM_getstat_tcp")->SIZES;
BENCHMARK_TEMPLATE(BM_snapshot, statUDPROW, &sockscope::getstat_udp)->Name("BM_getstat_udp")->SIZES;
BENCHMARK(BM_getProcessId)->SIZES;
BENCHMARK(BM_getnetPort_gx2)->SIZES;

} // namespace

BENCHMARK_MAIN();

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times sockscope against ss and netstat on the same open loopback
# connections, on both owner paths, and checks the performance targets.
#
#   benchmarks/compare.sh              100, 1,000 and 10,000 connections
#   benchmarks/compare.sh --large      and 100,000 (200,000 rows; some 1 GiB
#                                      of kernel memory; about 15 minutes on
#                                      2 cores, half of it ss and netstat)
#   benchmarks/compare.sh --refresh    also plots the times and copies the
#                                      results into benchmarks/results/ and
#                                      the plot into docs/benchmark.png
#   benchmarks/compare.sh --plot       plots without copying
#   SIZES="1000" ROUNDS=5 benchmarks/compare.sh
#
# Environment: SIZES (connections, default "100 1000 10000"; LARGE=1 is
# --large), ROUNDS (default 11; sizes above 10,000 take at most
# ROUNDS_LARGE, default 5), IDLE_CONNECTIONS (default 10000) and
# IDLE_COUNTS (default "0 500 2000") for the cost per idle process, each
# point the best of IDLE_PROCESSES_PER_POINT (5) processes;
# GOOGLE_BENCHMARK=no skips Google Benchmark (for quick runs).
#
# The owner paths: "default" is whatever the library chooses (its kernel
# iterator when the caller may load it); "proc" runs the same commands with
# SOCKSCOPE_OWNER_SCAN=proc, which asks for the /proc scan. For each size N
# it holds N established loopback connections open (sockscope_loadgen),
# checks that every tool sees the same rows, and measures: the first call of
# a fresh process (the whole snapshot_once command), the repeated call in
# one process (after a warm-up), the console listing, the managed call,
# ss -tanp4 and netstat -tanp, where a snapshot's time goes, and its peak
# heap. Then the cost per idle process, a leak check and Google Benchmark.
# Results go to build-bench/results/: summary.md (printed at the end), CSV
# files and, when it plots, benchmark.png. Run it as root: the targets are stated for root,
# whose view of other processes' descriptors is whole.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
refresh=no
plot=no
large=${LARGE:-0}
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for argument in "$@"; do
    case $argument in
        --refresh) refresh=yes plot=yes ;;
        --plot) plot=yes ;;
        --large) large=1 ;;
        *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
sizes=${SIZES:-"100 1000 10000"}
[ "$large" = 1 ] && [[ " $sizes " != *" 100000 "* ]] && sizes="$sizes 100000"
rounds=${ROUNDS:-11}
rounds_large=${ROUNDS_LARGE:-5}
idle_connections=${IDLE_CONNECTIONS:-10000}
idle_counts=${IDLE_COUNTS:-"0 500 2000"}
idle_rounds=$rounds
idle_processes_per_point=${IDLE_PROCESSES_PER_POINT:-5}
as_root=$([ "$(id -u)" -eq 0 ] && echo yes || echo no)
command_line="$(printf '%s ' SIZES=\""$sizes"\" ROUNDS=$rounds)benchmarks/compare.sh${*:+ $*}"

# What the comparison needs beyond the build: the peers, and the plotter
# only when it plots.
missing=()
command -v netstat >/dev/null || missing+=(net-tools)
[ "$plot" = no ] || command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
command -v valgrind >/dev/null || missing+=(valgrind)
command -v setpriv >/dev/null || missing+=(util-linux)
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
scripts/install-deps.sh

build=build-bench
out=$root/$build/results
work=$(mktemp -d /tmp/sockscope-bench-XXXXXX)
mkdir -p "$out"
rm -f "$out"/*.csv "$out"/*.txt "$out"/summary.md
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSOCKSCOPE_BUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
bin=$root/$build/benchmarks
demo=$root/$build/demo/sockscopeDemo_x64
tool=$root/$build/tool/sockscope
heap_counter=$bin/libsockscope_heap_counter.so
managed=""
if command -v dotnet >/dev/null; then
    dotnet build sockscopeNET/bench -c Release -v quiet --nologo -p:SockscopeNativeDir="$root/$build/dotnet-native/" \
        >"$out/dotnet-build.log" || { cat "$out/dotnet-build.log"; exit 1; }
    managed="dotnet $root/sockscopeNET/bench/bin/Release/net10.0/Bench.dll"
fi

source benchmarks/compare/load.sh
source benchmarks/compare/measure.sh
source benchmarks/compare/report.sh
trap 'stop_all_loads; rm -rf "$work"' EXIT

# Preflight: the load generator fails cleanly, and the kernel settings a
# large load meets are on record (the generator checks what it needs).
check_load_failures
{
    echo "fs.file-max $(cat /proc/sys/fs/file-max), fs.file-nr $(cut -f1 /proc/sys/fs/file-nr) open, fs.nr_open $(cat /proc/sys/fs/nr_open)"
    echo "net.ipv4.ip_local_port_range $(tr '\t' ' ' </proc/sys/net/ipv4/ip_local_port_range), net.ipv4.tcp_mem $(tr '\t' ' ' </proc/sys/net/ipv4/tcp_mem) (pages)"
    echo "kernel.pid_max $(cat /proc/sys/kernel/pid_max), nf_conntrack entries $(cat /proc/sys/net/netfilter/nf_conntrack_count 2>/dev/null || echo none) of $(cat /proc/sys/net/netfilter/nf_conntrack_max 2>/dev/null || echo -)"
    echo "open files per process: soft $(ulimit -Sn), hard $(ulimit -Hn) (load holders raise their own)"
} >"$out/limits.txt"

# TIME_WAIT sockets left by earlier work (tests, a previous run) expire
# within a minute; waiting for them keeps them out of the row counts and
# their expiry timers out of the timings.
for _ in $(seq 70); do
    [ "$(ss -tanH4 state time-wait | wc -l)" -lt 50 ] && break
    sleep 1
done

echo "connections,rows,measure,median_ms" >"$out/times.csv"
: >"$out/rows.csv"
: >"$out/memory.csv"
: >"$out/peak_memory.csv"
: >"$out/sources.csv"
: >"$out/idle.csv"
: >"$out/leaks.txt"
declare -A rounds_at=()
for n in $sizes; do
    here=$rounds
    [ "$n" -gt 10000 ] && [ "$rounds_large" -lt "$rounds" ] && here=$rounds_large
    rounds_at[$n]=$here
    echo "$(date +%T) $n connections: setting up" >&2
    start_load main "$n" 0
    [ "$n" -eq "$(echo "$sizes" | tr ' ' '\n' | sort -n | tail -1)" ] &&
        echo "at $n connections: $(grep -E '^(TCP|sockets)' /proc/net/sockstat | paste -sd ';'), $load_holders holder processes" >>"$out/limits.txt"
    count_rows "$n"
    owner_sources "$n"
    echo "$(date +%T) $n connections ($rows rows): timing" >&2
    time_commands "$n" "$rows" "$here"
    time_repeated "$n" "$rows" "$here"
    "$bin/stage_profile" "$here" >"$out/stages-$n.txt"
    measure_memory "$n"
    measure_peak_memory "$n"
    stop_load main
done

echo "$(date +%T) idle processes beside $idle_connections connections" >&2
# shellcheck disable=SC2086 # the counts are words
measure_idle_slopes "$idle_connections" "$idle_rounds" $idle_counts

# Google Benchmark: every member, in process, at every size (it makes its
# own load); getstat_tcp again on the /proc path.
if [ "${GOOGLE_BENCHMARK:-yes}" != no ]; then
    echo "$(date +%T) Google Benchmark" >&2
    {
        "$bin/snapshot_benchmark" --benchmark_min_time=0.5 2>&1
        echo
        echo "SOCKSCOPE_OWNER_SCAN=proc:"
        SOCKSCOPE_OWNER_SCAN=proc "$bin/snapshot_benchmark" --benchmark_min_time=0.5 --benchmark_filter=BM_getstat_tcp 2>&1
    } >"$out/google-benchmark.txt"
else
    echo "skipped (GOOGLE_BENCHMARK=no)" >"$out/google-benchmark.txt"
fi

[ "$plot" = no ] ||
    gnuplot -e "csv='$out/times.csv'; png='$out/benchmark.png'; machine='$(nproc) cores, $(uname -r)'" benchmarks/plot.gp

{
    echo "# Benchmark run $(date -u +%Y-%m-%dT%H:%MZ)"
    echo
    echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(uname -r), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load average before the run $load_before"
    echo "Command: \`$command_line\`; as root: $as_root"
    echo "Owner source seen in process: default path $(source_of default), SOCKSCOPE_OWNER_SCAN=proc $(source_of proc)"
    echo
    echo "## Targets"
    echo
    check_targets "$as_root"
    echo
    echo "## Median ms"
    echo
    echo "First call: the whole \`snapshot_once\` command (process start, library load, one getstat_tcp). Repeated call: getstat_tcp timed in one process after a warm-up. Listing: \`sockscopeDemo_x64 </dev/null >/dev/null\`. \"proc\": with SOCKSCOPE_OWNER_SCAN=proc."
    echo
    overview
    for n in $sizes; do size_section "$n" "${rounds_at[$n]}"; done
    idle_section
    memory_section
    echo
    echo "## The machine's limits for the load"
    echo
    echo '```'
    cat "$out/limits.txt"
    echo '```'
    echo
    echo "## Google Benchmark (google-benchmark.txt)"
    echo
    echo '```'
    grep -E '^(BM_|SOCKSCOPE|skipped)' "$out/google-benchmark.txt"
    echo '```'
} >"$out/summary.md"

if [ "$refresh" = yes ]; then
    mkdir -p benchmarks/results docs
    rm -f benchmarks/results/*
    cp "$out"/{summary.md,times.csv,rows.csv,memory.csv,peak_memory.csv,idle.csv,google-benchmark.txt} benchmarks/results/
    cp "$out/benchmark.png" docs/benchmark.png
fi
cat "$out/summary.md"
echo
where=$out
[ "$refresh" = yes ] && where="$out, copied to benchmarks/results/ and docs/benchmark.png"
echo "Targets: $targets_held held, $targets_missed missed. Results in $where."
# Every load was stopped and reaped (load.sh waits for each): a process this
# script started that still runs is a fault of the script.
if [ -n "$(jobs -pr)" ]; then
    echo "still running: $(jobs -pr | tr '\n' ' ')" >&2
    exit 1
fi

#!/usr/bin/env bash
# Times sockscope against ss and netstat on the same open loopback
# connections, and checks the performance targets.
#
#   benchmarks/compare.sh            sizes 100 1000 10000, 11 rounds
#   SIZES="1000" ROUNDS=5 benchmarks/compare.sh
#
# For each size N it holds N established loopback connections open (child
# processes of sockscope_loadgen), checks that every tool sees the same
# number of rows, then runs the commands in turn ROUNDS times and prints
# their median times and the ratios to `ss -tanp4`. Then: the in-process
# cost of the native and the managed getstat_tcp, 500 idle processes more,
# the snapshot's memory, and Google Benchmark's figures for every member.
# Results go to benchmarks/results/ (CSV, a summary) and docs/benchmark.png.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sizes=${SIZES:-"100 1000 10000"}
rounds=${ROUNDS:-11}
results=$root/benchmarks/results
mkdir -p "$results" "$root/docs"

# What the comparison needs beyond the build: the peers, the plotter.
missing=()
command -v netstat >/dev/null || missing+=(net-tools)
command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
command -v valgrind >/dev/null || missing+=(valgrind)
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
scripts/install-deps.sh

build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSOCKSCOPE_BUILD_BENCHMARKS=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
bin=$build/benchmarks
demo=$build/demo/sockscopeDemo_x64
managed=""
if command -v dotnet >/dev/null; then
    dotnet build sockscopeNET/bench -c Release -v quiet --nologo -p:SockscopeNativeDir="$root/$build/dotnet-native/" \
        >"$results/dotnet-build.log" || { cat "$results/dotnet-build.log"; exit 1; }
    managed="dotnet sockscopeNET/bench/bin/Release/net10.0/Bench.dll"
fi

# TIME_WAIT sockets left by earlier work (tests, a previous run) expire
# within a minute; waiting for them keeps them out of the row counts and
# their expiry timers out of the timings.
for _ in $(seq 70); do
    [ "$(ss -tanH4 state time-wait | wc -l)" -lt 50 ] && break
    sleep 1
done

load_pid=""
start_load() { # connections idle-processes
    coproc LOAD { exec "$bin/sockscope_loadgen" "$1" "$2"; }
    load_pid=$LOAD_PID
    local word
    read -r word load_rows <&"${LOAD[0]}"
    [ "$word" = ready ] || { echo "load did not start" >&2; exit 1; }
}
stop_load() {
    exec {LOAD[1]}>&-
    wait "$load_pid" || true
    load_pid=""
}
trap 'if [ -n "$load_pid" ]; then kill "$load_pid" 2>/dev/null || true; fi' EXIT

count_rows() {
    printf '%s\t%s\n' \
        sockscope "$("$bin/snapshot_once")" \
        sockscopeDemo_x64 "$("$demo" </dev/null | wc -l)" \
        ss "$(ss -tanH4 | wc -l)" \
        netstat "$(netstat -tan4 2>/dev/null | grep -c '^tcp ')"
}

csv=$results/times.csv
echo "connections,tool,rows,median_ms" > "$csv"
summary=$results/summary.md
{
    echo "# Benchmark run $(date -u +%Y-%m-%dT%H:%MZ)"
    echo
    echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(uname -r), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
    echo "Command: SIZES=\"$sizes\" ROUNDS=$rounds benchmarks/compare.sh"
} > "$summary"

for n in $sizes; do
    start_load "$n" 0
    counts=$(count_rows)
    lowest=$(cut -f2 <<<"$counts" | sort -n | head -1)
    highest=$(cut -f2 <<<"$counts" | sort -n | tail -1)
    # Other activity on the machine may open or close a few sockets between
    # the counts; more than that is a fault.
    if [ $((highest - lowest)) -gt $((5 + lowest / 200)) ]; then
        echo "row counts differ at $n connections:"; echo "$counts"; exit 1
    fi
    timings=$("$bin/command_timer" "$rounds" \
        "$bin/snapshot_once >/dev/null" \
        "$demo >/dev/null" \
        "ss -tanp4 >/dev/null" \
        "netstat -tanp4 >/dev/null 2>&1")
    native_inprocess=$("$bin/snapshot_once" --repeat "$rounds")
    stages=$("$bin/stage_profile" "$rounds")
    managed_inprocess=$([ -n "$managed" ] && $managed "$rounds" || echo "")
    stop_load

    ss_ms=$(sed -n 3p <<<"$timings" | cut -f1)
    rows=$(grep '^ss' <<<"$counts" | cut -f2)
    {
        echo
        echo "## $n connections ($rows rows)"
        echo
        echo "| command | rows seen | median ms | ratio to ss -tanp4 |"
        echo "|---|---|---|---|"
        paste <(cut -f1 <<<"$counts") <(cut -f2 <<<"$counts") <(cut -f1 <<<"$timings") <(cut -f2 <<<"$timings") |
            awk -F'\t' -v ss="$ss_ms" '{ printf "| `%s` | %s | %.1f | %.2f |\n", $4, $2, $3, $3 / ss }'
        echo
        echo "In process, median of $rounds: native getstat_tcp $native_inprocess ms${managed_inprocess:+, managed getstat_tcp $managed_inprocess ms (ratio $(awk -v m="$managed_inprocess" -v n="$native_inprocess" 'BEGIN { printf "%.2f", m / n }'))}"
        echo
        echo "Where one snapshot's time goes (benchmarks/stage_profile):"
        echo
        echo '```'
        echo "$stages"
        echo '```'
    } >> "$summary"
    paste <(cut -f1 <<<"$counts") <(cut -f2 <<<"$counts") <(cut -f1 <<<"$timings") |
        awk -F'\t' -v n="$n" '{ printf "%s,%s,%s,%s\n", n, $1, $2, $3 }' >> "$csv"
done

# Idle processes: the owner scan visits every process. The idle children
# come and go three times beside the largest load, so that each "with" is
# measured right after its "without" and drift on the machine cancels out;
# the snapshot is timed in process, free of program start-up noise.
largest=$(tr ' ' '\n' <<<"$sizes" | sort -n | tail -1)
idle_report=""
idle_ratios=()
# The idle load runs beside the coprocess that holds the connections, fed
# through a FIFO: closing it ends the idle children.
idle_fifo=$(mktemp -u /tmp/sockscope-idle-XXXXXX)
mkfifo "$idle_fifo"
start_load "$largest" 0
for block in 1 2 3; do
    plain=$("$bin/snapshot_once" --repeat "$((rounds * 3))")
    "$bin/sockscope_loadgen" 0 500 <"$idle_fifo" >"$results/idle.out" &
    idle_pid=$!
    exec {idle_in}>"$idle_fifo"
    for _ in $(seq 600); do grep -q ready "$results/idle.out" && break; sleep 0.1; done
    crowded=$("$bin/snapshot_once" --repeat "$((rounds * 3))")
    exec {idle_in}>&-
    wait "$idle_pid" || true
    ratio=$(awk -v a="$crowded" -v b="$plain" 'BEGIN { printf "%.3f", a / b }')
    idle_ratios+=("$ratio")
    idle_report+="block $block: $plain ms without, $crowded ms with (ratio $ratio)"$'\n'
done
rm -f "$idle_fifo" "$results/idle.out"
memory=$(valgrind --tool=massif --massif-out-file="$results/massif.out" "$bin/snapshot_once" --bytes 2>/dev/null | sed -n 's/returned bytes //p')
leaks=$(valgrind --leak-check=full "$bin/snapshot_once" 2>&1 >/dev/null | grep -E 'in use at exit|definitely lost|indirectly lost|ERROR SUMMARY' | sed 's/^==[0-9]*== *//')
stop_load
peak=$(grep -o 'mem_heap_B=[0-9]*' "$results/massif.out" | cut -d= -f2 | sort -n | tail -1)
{
    echo
    echo "## $largest connections, 500 idle processes more"
    echo
    echo "getstat_tcp in process (snapshot_once --repeat), median of $((rounds * 3)) each:"
    echo
    echo '```'
    printf '%s' "$idle_report"
    echo '```'
    echo
    echo "median ratio $(printf '%s\n' "${idle_ratios[@]}" | sort -n | sed -n 2p)"
    echo
    echo "## Memory at $largest connections"
    echo
    echo "peak heap $peak bytes; the snapshot hands over $memory bytes (ratio $(awk -v a="$peak" -v b="$memory" 'BEGIN { printf "%.2f", a / b }'))"
    echo
    echo '```'
    echo "$leaks"
    echo '```'
} >> "$summary"

# Google Benchmark: every member, in process, at every size (it makes its own load).
"$bin/snapshot_benchmark" --benchmark_min_time=0.5 > "$results/google-benchmark.txt" 2>&1
{
    echo
    echo "## Google Benchmark (benchmarks/results/google-benchmark.txt)"
    echo
    echo '```'
    grep -E '^BM_' "$results/google-benchmark.txt"
    echo '```'
} >> "$summary"

gnuplot -e "csv='$csv'; png='$root/docs/benchmark.png'; machine='$(nproc) cores, $(uname -r)'" benchmarks/plot.gp
cat "$summary"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times `sockscope -A` (every network namespace in one snapshot) against
# what people run today, `ip netns exec NS ss -tanp` for each namespace, on
# named namespaces each holding the same number of loopback connections,
# and the cost of each further namespace (the least-squares slope of
# sockscope -A's time over the namespace counts).
#
#   benchmarks/namespaces.sh              10, 50 and 100 namespaces of 100
#   COUNTS="10 100" CONNECTIONS=50 ROUNDS=5 benchmarks/namespaces.sh
#   EHASH_ENTRIES=1024 benchmarks/namespaces.sh
#
# Namespaces share the machine's TCP hash table unless the host gives each
# its own (net.ipv4.tcp_child_ehash_entries, read when a namespace is
# made), and every dump in a namespace walks the table it has: with
# EHASH_ENTRIES the namespaces are made with tables of their own of that
# size, and the setting is put back after.
#
# Needs root (ip netns) and the bench build (cmake --preset bench and its
# build); prints a Markdown table and the slope.
set -euo pipefail
cd "$(dirname "$0")/.."
counts=${COUNTS:-"10 50 100"}
connections=${CONNECTIONS:-100}
rounds=${ROUNDS:-5}
bin=$PWD/build-bench/benchmarks
tool=$PWD/build-bench/tool/sockscope
prefix=sockscope-bench-$$
for program in "$bin/sockscope_loadgen" "$bin/command_timer" "$tool"; do
    [ -x "$program" ] || { echo "missing $program: build the bench preset first" >&2; exit 1; }
done
work=$(mktemp -d /tmp/sockscope-namespaces-XXXXXX)
made=0
loads=() # the pids of this run's load generators, the only processes it ends
ehash_setting=net.ipv4.tcp_child_ehash_entries
ehash_before=$(sysctl -n "$ehash_setting")
# Every load reads this pipe and ends when it closes: this script holds its
# only writing end (fd 8), so it closes when the script ends, however.
mkfifo "$work/hold"
exec 8<>"$work/hold"

# Namespaces 1..N, each with loopback up and its load held until the end.
grow_to() {
    local n=$1 i
    [ -z "${EHASH_ENTRIES:-}" ] || sysctl -qw "$ehash_setting=$EHASH_ENTRIES"
    for ((i = made + 1; i <= n; i++)); do
        ip netns add "$prefix-$i"
        ip netns exec "$prefix-$i" ip link set lo up
        ip netns exec "$prefix-$i" "$bin/sockscope_loadgen" "$connections" \
            <"$work/hold" >"$work/$i.out" 2>&1 8>&- &
        loads+=($!) # ip netns exec runs the generator in its own process
    done
    sysctl -qw "$ehash_setting=$ehash_before"
    for ((i = made + 1; i <= n; i++)); do
        local waited=0
        until grep -q '^ready' "$work/$i.out" 2>/dev/null; do
            sleep 0.1
            waited=$((waited + 1))
            [ "$waited" -lt 600 ] || { echo "namespace $i: no load: $(cat "$work/$i.out")" >&2; exit 1; }
        done
    done
    made=$n
}

cleanup() {
    sysctl -qw "$ehash_setting=$ehash_before"
    exec 8>&-
    [ ${#loads[@]} -eq 0 ] || kill -TERM "${loads[@]}" 2>/dev/null || true
    wait "${loads[@]}" 2>/dev/null || true
    local i
    for ((i = 1; i <= made; i++)); do ip netns delete "$prefix-$i" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

echo "| namespaces | rows (sockscope -A, these namespaces) | sockscope -A ms | ip netns exec ss -tanp loop ms | ratio |"
echo "|---|---|---|---|---|"
points=()
for n in $counts; do
    grow_to "$n"
    printf 'for i in $(seq %s); do ip netns exec %s-$i ss -tanp; done\n' "$n" "$prefix" >"$work/loop.sh"
    timings=$("$bin/command_timer" "$rounds" "$tool -A >/dev/null 2>&1" "sh $work/loop.sh >/dev/null")
    ours=$(sed -n 1p <<<"$timings" | cut -f1)
    theirs=$(sed -n 2p <<<"$timings" | cut -f1)
    # The tool's notes go under the table, not into it.
    rows=$("$tool" -A 2>>"$work/notes" | grep -c "$prefix-" || true)
    points+=("$n $ours")
    echo "| $n | $rows | $ours | $theirs | $(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.3f", a / b }') |"
done
printf '%s\n' "${points[@]}" | awk '{ c++; sx += $1; sy += $2; sxx += $1 * $1; sxy += $1 * $2 }
    END { d = c * sxx - sx * sx; if (d > 0) printf "\nsockscope -A: %.3f ms per further namespace of '"$connections"' connections (least squares over %d counts)\n", (c * sxy - sx * sy) / d, c }'
[ ! -s "$work/notes" ] || { echo; echo "sockscope -A said:"; sort -u "$work/notes"; }

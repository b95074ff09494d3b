#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Where a one-shot program's first call gains by loading the owner iterator:
# times `sockscope -t4` (a fresh process, one snapshot) scanning /proc
# (SOCKSCOPE_OWNER_SCAN=proc) against a build whose first call always loads
# the iterator, with N loopback connections held open, for several N (or,
# with FILES=1, N plain files held open by 4 processes). The library's own
# rule (core/system_sources.h) loads it on a first call from the number of
# files open on the machine (/proc/sys/fs/file-nr) where the columns cross.
#
#   benchmarks/first_call_crossing.sh                  2,500 to 10,000 connections
#   SIZES="4000 6000" ROUNDS=15 benchmarks/first_call_crossing.sh
#   FILES=1 SIZES="6000 12000 18000" benchmarks/first_call_crossing.sh
#
# Needs root (the iterator) and the bench build (cmake --preset bench and
# its build); makes the second build in build-first-call. Prints a Markdown
# table.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=${SIZES:-"2500 5000 6000 7000 8000 10000"}
rounds=${ROUNDS:-11}
bin=$PWD/build-bench/benchmarks
tool=$PWD/build-bench/tool/sockscope
for program in "$bin/sockscope_loadgen" "$bin/command_timer" "$tool"; do
    [ -x "$program" ] || { echo "missing $program: build the bench preset first" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "needs root: only root may load the iterator" >&2; exit 1; }

cmake -S . -B build-first-call -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_FLAGS=-DSOCKSCOPE_ITERATOR_FIRST_CALL_FROM=1 >/dev/null
cmake --build build-first-call -j"$(nproc)" --target sockscope_tool >/dev/null
first_call_iterator=$PWD/build-first-call/tool/sockscope

work=$(mktemp -d /tmp/sockscope-crossing-XXXXXX)
load=
finish() {
    [ -z "$load" ] || { kill "$load" 2>/dev/null || true; wait "$load" 2>/dev/null || true; }
    rm -rf "$work"
}
trap finish EXIT

# N files open in 4 processes (each within the default descriptor limit),
# held until the input closes.
hold_files() {
    local each=$(($1 / 4)) i
    trap 'kill $(jobs -p) 2>/dev/null; exit' TERM
    for i in 1 2 3 4; do
        (
            ulimit -n $((each + 64))
            for ((n = 0; n < each; n++)); do exec {fd}</dev/null; done
            exec sleep infinity
        ) &
    done
    echo ready
    cat >/dev/null
    kill $(jobs -p)
    wait
}

held=connections
[ -z "${FILES:-}" ] || held=files
echo "| $held | files open | /proc scan (ms) | iterator (ms) | iterator ÷ scan |"
echo "|---|---|---|---|---|"
for size in $sizes; do
    # The load holds its connections (or files) until its input closes.
    mkfifo "$work/hold"
    if [ -n "${FILES:-}" ]; then
        hold_files "$size" <"$work/hold" >"$work/ready" &
    else
        "$bin/sockscope_loadgen" "$size" 20 <"$work/hold" >"$work/ready" &
    fi
    load=$!
    exec 7>"$work/hold"
    for _ in $(seq 600); do grep -q ready "$work/ready" && break; sleep 0.1; done
    grep -q ready "$work/ready" || { echo "the load of $size did not start: $(cat "$work/ready")" >&2; exit 1; }
    sleep 1 # the holders' descriptors all open
    in_use=$(cut -f1 /proc/sys/fs/file-nr)
    times=$("$bin/command_timer" "$rounds" \
        "SOCKSCOPE_OWNER_SCAN=proc $tool -t4 >/dev/null 2>&1" \
        "$first_call_iterator -t4 >/dev/null 2>&1" | cut -f1)
    scan=$(sed -n 1p <<<"$times")
    iterator=$(sed -n 2p <<<"$times")
    echo "| $size | $in_use | $scan | $iterator | $(awk -v a="$iterator" -v b="$scan" 'BEGIN { printf "%.2f", a / b }') |"
    exec 7>&-
    wait "$load" || true
    load=
    rm -f "$work/hold" "$work/ready"
done

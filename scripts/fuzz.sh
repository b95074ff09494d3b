#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS
# (default 30; a longer hunt: FUZZ_SECONDS=600) from the corpus kept in
# fuzz/corpus, as many at once as there are CPUs. New inputs go to a
# scratch folder, so the tree is left as it was. A crash fails the run and
# leaves its input in build-fuzz/crashes/ (turn it into a regression test).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
# The newest clang from 14 up whose fuzzer runtime links.
clang=""
probe=$(mktemp -d /tmp/sockscope-fuzz-probe-XXXXXX)
printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' >"$probe/probe.cpp"
for candidate in clang++ clang++-{30..14}; do
    if command -v "$candidate" >/dev/null && "$candidate" --version | grep -Eq 'version (1[4-9]|[2-9][0-9])\.' &&
        "$candidate" -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
        clang=$(command -v "$candidate")
        break
    fi
done
rm -rf "$probe"
if [ -z "$clang" ]; then
    echo "clang 14 or later with its fuzzer runtime is needed: apt-get install clang libclang-rt-14-dev" >&2
    exit 1
fi
cmake --preset fuzz -DCMAKE_CXX_COMPILER="$clang" >/dev/null
cmake --build --preset fuzz -j"$(nproc)" >/dev/null
mkdir -p build-fuzz/crashes
status=0
targets=(fuzz_proc_net fuzz_netlink fuzz_socket_link fuzz_image_name fuzz_utf8 fuzz_connection_event fuzz_expression
    fuzz_socket_summary)

# One target's run; its report goes to build-fuzz/<target>.result, its
# exit status is the run's.
fuzz_one() { # target
    local target=$1 scratch log=build-fuzz/$1.log result=build-fuzz/$1.result runs
    rm -f "$result"
    scratch=$(mktemp -d /tmp/sockscope-fuzz-XXXXXX)
    if build-fuzz/fuzz/$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix=build-fuzz/crashes/$target- "$scratch" fuzz/corpus/$target >"$log" 2>&1; then
        runs=$(grep -o 'Done [0-9]* runs' "$log" | tail -1)
        printf '%-18s %s in %s s, corpus %s inputs\n' "$target" "$runs" "$seconds" \
            "$(find "$scratch" fuzz/corpus/$target -type f | wc -l)" >"$result"
        rm -rf "$scratch"
        return 0
    fi
    { echo "$target FAILED; its input is in build-fuzz/crashes/:"; tail -30 "$log"; } >"$result"
    rm -rf "$scratch"
    return 1
}

# As many targets at once as there are CPUs (each fuzzer runs on one);
# the reports come in the list's order.
parallel=$(nproc)
for target in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
    fuzz_one "$target" &
done
wait
# A target passed when its report says so (wait -n above may have taken
# its exit status already).
for target in "${targets[@]}"; do
    result=build-fuzz/$target.result
    head -n 1 "$result" 2>/dev/null | grep -q ' runs in ' || status=1
    cat "$result" 2>/dev/null || echo "$target: no report"
done
exit $status

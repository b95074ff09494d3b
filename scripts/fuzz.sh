#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS
# (default 60) from the corpus kept in fuzz/corpus. New inputs go to a
# scratch folder, so the tree is left as it was. A crash fails the run and
# leaves its input in build-fuzz/crashes/ (turn it into a regression test).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
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
for target in fuzz_proc_net fuzz_netlink fuzz_socket_link fuzz_image_name fuzz_utf8 fuzz_expression; do
    scratch=$(mktemp -d /tmp/sockscope-fuzz-XXXXXX)
    log=build-fuzz/$target.log
    if build-fuzz/fuzz/$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix=build-fuzz/crashes/$target- "$scratch" fuzz/corpus/$target >"$log" 2>&1; then
        runs=$(grep -o 'Done [0-9]* runs' "$log" | tail -1)
        printf '%-18s %s in %s s, corpus %s inputs\n' "$target" "$runs" "$seconds" "$(find "$scratch" fuzz/corpus/$target -type f | wc -l)"
    else
        echo "$target FAILED; its input is in build-fuzz/crashes/:"
        tail -30 "$log"
        status=1
    fi
    rm -rf "$scratch"
done
exit $status

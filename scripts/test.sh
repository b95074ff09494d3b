#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs every test suite, each in its CMake preset
# (CMakePresets.json):
#
#   checks       every file says its licence (`reuse lint`), every source file
#                in an SPDX-License-Identifier line at its top; the library's
#                includes keep to its tiers and make no circle
#                (scripts/check_includes.py)
#   native       the plain build's tests, every folder of tests/: unit, live,
#                privileged (the BPF owner source), programs, install,
#                python (the Python package), valgrind's memcheck
#                (`ctest --preset default -L live` runs one)
#   package      the Debian packages: lintian, installed with apt-get, used,
#                purged (scripts/test-package.sh)
#   no-bpf       the build without the BPF owner scan, as on a machine that
#                lacks its tools
#   asan         the tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan         the tests labelled threads (several threads, churn, signals,
#                both owner paths) under ThreadSanitizer
#   fuzz         10 s of libFuzzer per parser (scripts/fuzz.sh), beside package
#   dotnet       the .NET wrapper (scripts/test-dotnet.sh)
#
# A failing suite doesn't stop the others: every suite runs, and the end
# lists the ones that failed; the exit status is 1 when any did.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --for-tests || exit 1
jobs=$(nproc)
failed=()

# The native and no-bpf builds compile most files alike; ccache compiles
# them once. Paths under the tree are taken relative to it, and the build
# folder is left out of what it compares (it would be, for code compiled
# with debug information), so the two build folders hit the same entries.
# Its cache is the tree's own: a run leaves nothing outside, and a fresh
# clone starts empty.
if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR=$PWD CCACHE_DIR=$PWD/build-ccache CCACHE_NOHASHDIR=true
    # The tests' files include a precompiled header (tests/CMakeLists.txt),
    # which ccache takes only when told that the header is made in the build.
    export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
fi

# Each suite's output is kept too, so that the end can repeat the last
# lines of the ones that failed, where a reader of the last screen sees them.
suite_logs=$(mktemp -d)
trap 'rm -rf "$suite_logs"' EXIT
suite() { # name command...
    local name=$1
    shift
    printf '\n=== %s\n' "$name"
    local started=$SECONDS
    if "$@" 2>&1 | tee "$suite_logs/$name.log"; then
        printf -- '--- %s passed in %d s\n' "$name" $((SECONDS - started))
    else
        printf -- '--- %s FAILED after %d s\n' "$name" $((SECONDS - started))
        failed+=("$name")
        return 1
    fi
}

# A suite run in the background, its output held back until shown: for
# suites that leave the CPUs idle much of their time, beside another.
declare -A background_pids background_logs
start_suite() { # name command...
    background_logs[$1]=$(mktemp)
    suite "$@" >"${background_logs[$1]}" 2>&1 &
    background_pids[$1]=$!
}
show_suite() { # name
    wait "${background_pids[$1]}" || failed+=("$1")
    cat "${background_logs[$1]}"
    rm -f "${background_logs[$1]}"
}

# What this machine can run, so that a suite that skipped it fails: root
# makes namespaces, users and cgroups; BPF runs where bpftool can list the
# kernel's programs.
can_root=false can_bpf=false
[ "$(id -u)" -eq 0 ] && can_root=true
PATH=$PATH:/usr/sbin bpftool prog show >/dev/null 2>&1 && can_bpf=true

# Builds a preset and runs its tests, then counts them and gives each reason
# a test had for skipping (scripts/ctest_summary.py). The preset no-bpf is
# built without BPF, so there its BPF tests skip by design.
preset_tests() { # preset [ctest arguments...]
    local preset=$1 status=0 junit can=()
    shift
    $can_root && can+=(--can root)
    $can_bpf && [ "$preset" != no-bpf ] && can+=(--can bpf)
    # The sanitizer builds share no object with another build: ccache would
    # only cost them its look-ups.
    local launcher=()
    case $preset in asan | tsan) launcher=(env -u CMAKE_C_COMPILER_LAUNCHER -u CMAKE_CXX_COMPILER_LAUNCHER) ;; esac
    "${launcher[@]}" cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j"$jobs" || return 1
    junit=$(mktemp --suffix=.xml)
    ctest --preset "$preset" -j"$jobs" --output-junit "$junit" "$@" || status=1
    python3 scripts/ctest_summary.py "$junit" "$preset" "${can[@]}" || status=1
    rm -f "$junit"
    return $status
}

# The whole report when a file lacks its licence, its last line otherwise.
reuse_lint() {
    local report status=0
    report=$(reuse lint 2>&1) || status=1
    if [ $status -eq 0 ]; then tail -n 1 <<<"$report"; else echo "$report"; fi
    return $status
}

# Every source file git tracks names its licence in its first 5 lines.
# reuse lint alone can't tell: .reuse/dep5 gives every file one.
spdx_lines() {
    local file count=0 missing=()
    while IFS= read -r -d '' file; do
        count=$((count + 1))
        head -n 5 "$file" | grep -q 'SPDX-License-Identifier' || missing+=("$file")
    done < <(git ls-files -z -- '*.cpp' '*.h' '*.c' '*.cs' '*.sh' '*.py' '*.cmake' '*.in' \
        CMakeLists.txt '*/CMakeLists.txt')
    if [ ${#missing[@]} -gt 0 ]; then
        printf 'no SPDX-License-Identifier line in the first 5 lines of:\n'
        printf '  %s\n' "${missing[@]}"
        return 1
    fi
    [ $count -gt 0 ] || { echo "git lists no source file"; return 1; }
    echo "$count source files, each with its SPDX-License-Identifier line"
}

checks() {
    local status=0
    reuse_lint || status=1
    spdx_lines || status=1
    python3 scripts/check_includes.py || status=1
    return $status
}

# The checks run before any build: reuse reads every file of the tree, and
# the builds' cache makes and removes files under it as it goes (a file
# gone between its listing and its reading failed the checks).
suite checks checks
suite native preset_tests default
# The package suite waits on apt, dpkg and lintian much of its time, and the
# fuzzers run for a set time, whatever else runs: side by side. Ten seconds
# a parser: a check that the parsers take the corpus and what grows from it;
# a longer hunt runs on its own (FUZZ_SECONDS=600 scripts/fuzz.sh).
start_suite package scripts/test-package.sh
start_suite fuzz env FUZZ_SECONDS="${FUZZ_SECONDS:-10}" scripts/fuzz.sh
show_suite package
show_suite fuzz
# The memory checks ran in the native suite; here the build and the
# behaviour without the iterator are what counts.
suite no-bpf preset_tests no-bpf -LE '^(valgrind|install)$'
suite asan preset_tests asan
# The timer storms run alone (tests/live/CMakeLists.txt): under
# ThreadSanitizer's slowdown they make their calls in time only so.
suite tsan preset_tests tsan
suite dotnet scripts/test-dotnet.sh

if [ ${#failed[@]} -gt 0 ]; then
    for name in "${failed[@]}"; do
        printf '\n=== the last lines of %s\n' "$name"
        tail -n 40 "$suite_logs/$name.log"
    done
    printf '\nFAILED: %s\n' "${failed[*]}"
    exit 1
fi
printf '\nevery suite passed\n'

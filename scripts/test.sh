#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs every test suite, each in its CMake preset
# (CMakePresets.json):
#
#   licences     every file says its licence: `reuse lint` on the tree
#   native       the plain build's tests: unit, live, console programs, the
#                BPF owner source, install, valgrind's memcheck
#   package      the Debian packages: lintian, installed with apt-get, used,
#                purged (scripts/test-package.sh)
#   no-bpf       the build without the BPF owner scan, as on a machine that
#                lacks its tools
#   asan         the tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan         the tests labelled threads (several threads, churn, signals,
#                both owner paths) under ThreadSanitizer
#   fuzz         a minute of libFuzzer per parser (scripts/fuzz.sh)
#   dotnet       the .NET wrapper (scripts/test-dotnet.sh)
#
# A failing suite doesn't stop the others: every suite runs, and the end
# lists the ones that failed; the exit status is 1 when any did.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --for-tests || exit 1
jobs=$(nproc)
failed=()

suite() { # name command...
    local name=$1
    shift
    printf '\n=== %s\n' "$name"
    local started=$SECONDS
    if "$@"; then
        printf -- '--- %s passed in %d s\n' "$name" $((SECONDS - started))
    else
        printf -- '--- %s FAILED after %d s\n' "$name" $((SECONDS - started))
        failed+=("$name")
    fi
}

preset_tests() { # preset [ctest arguments...]
    local preset=$1
    shift
    cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j"$jobs" &&
        ctest --preset "$preset" -j"$jobs" "$@"
}

# The whole report when a file lacks its licence, its last line otherwise.
reuse_lint() {
    local report status=0
    report=$(reuse lint 2>&1) || status=1
    if [ $status -eq 0 ]; then tail -n 1 <<<"$report"; else echo "$report"; fi
    return $status
}

suite licences reuse_lint
suite native preset_tests default
suite package scripts/test-package.sh
# The memory checks ran in the native suite; here the build and the
# behaviour without the iterator are what counts.
suite no-bpf preset_tests no-bpf -E '^memcheck_|^install_and_find$'
suite asan preset_tests asan
# One test at a time, as the preset says: under ThreadSanitizer's slowdown
# the timer storm test makes its calls in time only with no test beside it.
suite tsan preset_tests tsan -j1
suite fuzz scripts/fuzz.sh
suite dotnet scripts/test-dotnet.sh

if [ ${#failed[@]} -gt 0 ]; then
    printf '\nFAILED: %s\n' "${failed[*]}"
    exit 1
fi
printf '\nevery suite passed\n'

#!/usr/bin/env bash
# Builds everything and runs every test: the native tests in a plain build
# (with valgrind's memcheck on the console program and every member), again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency and
# churn tests under ThreadSanitizer, a minute of fuzzing per parser, then the
# .NET wrapper's tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --for-tests
jobs=$(nproc)

step() { printf '\n=== %s\n' "$*"; }

step "native build and tests"
cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

step "native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -DSOCKSCOPE_SANITIZERS=address,undefined -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

step "concurrency and churn under ThreadSanitizer"
cmake -S . -B build-tsan -DSOCKSCOPE_SANITIZERS=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-tsan -j"$jobs" --target sockscope_api_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    build-tsan/tests/sockscope_api_tests --gtest_filter='Concurrency.*:Churn.*'

step "fuzzing the parsers"
scripts/fuzz.sh

step ".NET wrapper"
scripts/test-dotnet.sh

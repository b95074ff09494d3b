#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the build and the tests need and a fresh machine may lack.
# Installs nothing that is already there, so it is quick to run every time.
# With --for-package, also what `cpack -G DEB` needs; with --for-tests, that
# and what only the tests need.
set -euo pipefail

needed=()
have() { command -v "$1" >/dev/null 2>&1; }
have cmake || needed+=(cmake)
have g++ || needed+=(g++)
have ss || needed+=(iproute2)
have nm || needed+=(binutils)
have pkg-config || needed+=(pkg-config)
have python3 || needed+=(python3)
[ -f /usr/include/gtest/gtest.h ] || needed+=(libgtest-dev)
# sockscope-exporter's metrics and HTTP server (without it the exporter is
# not built, and the rest is).
[ -f /usr/include/prometheus/exposer.h ] || needed+=(prometheus-cpp-dev)
if [ "${1:-}" = "--for-package" ] || [ "${1:-}" = "--for-tests" ]; then
    # The Debian package's Depends line is computed by dpkg-shlibdeps.
    have dpkg-shlibdeps || needed+=(dpkg-dev)
fi
if [ "${1:-}" = "--for-tests" ]; then
    # Every file's licence (REUSE metadata) and the Debian packages' checks.
    have reuse || needed+=(reuse)
    have lintian || needed+=(lintian)
    have mono || needed+=(mono-runtime)
    have unzip || needed+=(unzip)
    have valgrind || needed+=(valgrind)
    # The Python package's tests run under the distribution's Python, with
    # its pytest, and compare with its psutil.
    /usr/bin/python3 -c 'import pytest' >/dev/null 2>&1 || needed+=(python3-pytest)
    /usr/bin/python3 -c 'import psutil' >/dev/null 2>&1 || needed+=(python3-psutil)
    # The exporter's test has a real Prometheus scrape it.
    [ -x /usr/bin/prometheus ] || needed+=(prometheus)
    # The suites' builds share what they compile alike (scripts/test.sh).
    have ccache || needed+=(ccache)
    # The listing's locale test builds ja_JP.eucJP from these sources.
    [ -f /usr/share/i18n/locales/ja_JP ] || needed+=(locales)
    # The fuzzers: a clang (14 or later) with its fuzzer runtime.
    ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
        needed+=(clang-14 libclang-rt-14-dev)
    # The BPF iterator owner scan: built in when these are present.
    have bpftool || [ -x /usr/sbin/bpftool ] || needed+=(bpftool)
    [ -f /usr/include/bpf/bpf_helpers.h ] || needed+=(libbpf-dev)
fi

if [ ${#needed[@]} -gt 0 ]; then
    echo "installing: ${needed[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages (${needed[*]}) and not root to install them" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${needed[@]}" >/dev/null
fi

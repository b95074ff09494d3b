#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds sockscope and prints the live IPv4 TCP table once.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
cmake -S . -B build >/dev/null
cmake --build build --target sockscopeDemo_x64 -j"$(nproc)" >/dev/null
exec build/demo/sockscopeDemo_x64 </dev/null

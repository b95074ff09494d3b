#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix, then builds and runs a caller
# found through pkg-config and one found through find_package, and both
# programs.
set -eu
build=$1
version=$2
here=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d /tmp/sockscope-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libsockscope_x64.so' | head -n 1)")

PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --modversion sockscope | grep -qx "$version"
g++ -std=c++17 "$here/consumer.cpp" -o "$prefix/by-pkg-config" \
    $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs sockscope)
LD_LIBRARY_PATH=$libdir "$prefix/by-pkg-config" >/dev/null

cmake -S "$here" -B "$prefix/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer-build" >/dev/null
"$prefix/consumer-build/consumer" >/dev/null

# The programs find the library through their run path.
"$prefix/bin/sockscope" --version >/dev/null
"$prefix/bin/sockscopeDemo_x64" </dev/null >/dev/null
echo "installed library found by pkg-config and find_package, programs run"

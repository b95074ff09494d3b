#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package and checks it as a user would meet it: what it
# holds and depends on, then, unpacked into a scratch root (dpkg-deb -x), a
# caller built against the unpacked files through pkg-config and through
# CMake's find_package, and both programs run from there.
#
#   scripts/test-package.sh      (builds in build-package: cmake --preset package)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=build-package
scripts/install-deps.sh --for-package

fail() { echo "package test: $*" >&2; exit 1; }

cmake --preset package >/dev/null
cmake --build --preset package -j"$(nproc)" >/dev/null
rm -f "$build"/sockscope_*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log"; fail "cpack failed"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/sockscope_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb"
echo "built $(basename "$deb")"

# The control fields, Depends computed from the binaries.
[ "$(dpkg-deb -f "$deb" Package)" = sockscope ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "architecture"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6; do
    grep -q "\b$library (>=" <<<"$depends" || fail "Depends lacks $library: $depends"
done

# What it holds: every file under /usr, these among them, nothing built for
# the tests, the benchmarks or the .NET wrapper.
contents=$(dpkg-deb -c "$deb" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }')
libdir=$(sed -n 's|^\./\(usr/lib[^ ]*\)/libsockscope_x64\.so\.1 -> .*|\1|p' <<<"$contents")
[ -n "$libdir" ] || fail "no libsockscope_x64.so.1 link"
for entry in \
    "./usr/bin/sockscope" \
    "./usr/bin/sockscopeDemo_x64" \
    "./usr/include/sockscope/sockscope.h" \
    "./$libdir/libsockscope_x64.so.$version" \
    "./$libdir/libsockscope_x64.so.1 -> libsockscope_x64.so.$version" \
    "./$libdir/libsockscope_x64.so -> libsockscope_x64.so.1" \
    "./$libdir/pkgconfig/sockscope.pc" \
    "./$libdir/cmake/sockscope/sockscopeConfig.cmake" \
    "./$libdir/cmake/sockscope/sockscopeConfigVersion.cmake" \
    "./$libdir/cmake/sockscope/sockscopeTargets.cmake" \
    "./usr/share/man/man1/sockscope.1"; do
    grep -qxF -- "$entry" <<<"$contents" || fail "missing $entry"
done
outside=$(grep -v -e '^\./usr/' -e '^\./$' <<<"$contents" || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"
unwanted=$(grep -Ei 'test|bench|fuzz|gtest|sockscopeNET|failing' <<<"$contents" || true)
[ -z "$unwanted" ] || fail "test, benchmark or .NET files in the package: $unwanted"

scratch=$(mktemp -d /tmp/sockscope-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
dpkg-deb -x "$deb" "$root"
headers=$(objdump -p "$root/$libdir/libsockscope_x64.so.$version")
grep -q 'SONAME *libsockscope_x64\.so\.1$' <<<"$headers" || fail "SONAME"
export LD_LIBRARY_PATH=$root/$libdir

# Every binary finds the library of the scratch root, not one installed on
# this machine.
resolves_in_root() {
    local libraries
    libraries=$(ldd "$1")
    grep -q "libsockscope_x64\.so\.1 => $root/$libdir/" <<<"$libraries" || fail "$1 does not load the unpacked library"
}

# pkg-config: the file finds its own prefix (relative to where it lies),
# and a packager's override of the prefix points at the same folders.
export PKG_CONFIG_PATH=$root/$libdir/pkgconfig
[ "$(pkg-config --modversion sockscope)" = "$version" ] || fail "pkg-config version"
folders() { # the -I and -L folders of pkg-config's flags, resolved
    local flag
    for flag in $(pkg-config "$@" --cflags --libs sockscope); do
        case $flag in -I* | -L*) realpath -m "${flag:2}" ;; esac
    done
}
expected=$(printf '%s\n%s' "$root/usr/include" "$root/$libdir")
[ "$(folders)" = "$expected" ] || fail "pkg-config folders outside the root: $(folders)"
[ "$(folders --define-variable=prefix="$root/usr")" = "$expected" ] || fail "prefix override: $(folders --define-variable=prefix="$root/usr")"
for override in "" "--define-variable=prefix=$root/usr"; do
    g++ -std=c++17 -Wall -Wextra -Werror "$source_dir/tests/install/consumer.cpp" -o "$scratch/by-pkg-config" \
        $(pkg-config $override --cflags --libs sockscope)
    resolves_in_root "$scratch/by-pkg-config"
    "$scratch/by-pkg-config" >/dev/null || fail "consumer built through pkg-config $override failed"
done

# CMake: find_package through CMAKE_PREFIX_PATH.
cmake -S "$source_dir/tests/install" -B "$scratch/by-cmake" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$scratch/by-cmake" >/dev/null
resolves_in_root "$scratch/by-cmake/consumer"
"$scratch/by-cmake/consumer" >/dev/null || fail "consumer built through find_package failed"

# Both programs and the manual page, from the scratch root.
for program in sockscope sockscopeDemo_x64; do resolves_in_root "$root/usr/bin/$program"; done
[ "$("$root/usr/bin/sockscope" --version)" = "sockscope $version" ] || fail "sockscope --version"
"$root/usr/bin/sockscope" -tu >/dev/null || fail "sockscope failed"
"$root/usr/bin/sockscope" --json -l >/dev/null || fail "sockscope --json failed"
"$root/usr/bin/sockscopeDemo_x64" </dev/null >/dev/null || fail "sockscopeDemo_x64 failed"
grep -q "^\.TH SOCKSCOPE 1 .*sockscope $version" "$root/usr/share/man/man1/sockscope.1" || fail "manual page"

echo "package $(basename "$deb"): contents, Depends ($depends), pkg-config and find_package callers, both programs: all good"

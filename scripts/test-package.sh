#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the four Debian packages and checks them as a Debian user meets
# them: their control fields and contents, lintian's verdict (no error),
# then, installed together with apt-get (so as root), a caller built against
# libsockscope-dev through pkg-config and through CMake's find_package, both
# programs run, the Python package imported and used by Debian's python3,
# and an apt-get purge that leaves no file behind.
#
#   scripts/test-package.sh      (builds in build-package: cmake --preset package)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=build-package
packages=(libsockscope1 libsockscope-dev sockscope python3-sockscope)
scripts/install-deps.sh --for-tests

fail() { echo "package test: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || fail "installs the packages with apt-get, so runs as root"
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qv '^not-installed$'; then
        fail "$package is already installed; the test installs and purges it: apt-get purge ${packages[*]}"
    fi
done

cmake --preset package >/dev/null
cmake --build --preset package -j"$(nproc)" >/dev/null
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log"; fail "cpack failed"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
release=$(sed -n '1s/^sockscope ([^-]*-\([^)]*\)).*/\1/p' cmake/debian/changelog)
declare -A deb architecture
for package in "${packages[@]}"; do
    architecture[$package]=amd64
    [ "$package" != python3-sockscope ] || architecture[$package]=all
    deb[$package]=$build/${package}_${version}-${release}_${architecture[$package]}.deb
    [ -f "${deb[$package]}" ] || fail "no ${deb[$package]}"
done
echo "built ${packages[*]} $version-$release"

# The control fields; Depends of the binaries computed by dpkg-shlibdeps.
for package in "${packages[@]}"; do
    [ "$(dpkg-deb -f "${deb[$package]}" Package)" = "$package" ] || fail "$package: package name"
    [ "$(dpkg-deb -f "${deb[$package]}" Version)" = "$version-$release" ] || fail "$package: version"
    [ "$(dpkg-deb -f "${deb[$package]}" Architecture)" = "${architecture[$package]}" ] || fail "$package: architecture"
done
depends_on() { # package dependency...
    local depends
    depends=$(dpkg-deb -f "${deb[$1]}" Depends)
    shift
    for dependency in "$@"; do
        grep -qF "$dependency" <<<"$depends" || fail "Depends lacks $dependency: $depends"
    done
}
depends_on libsockscope1 "libc6 (>=" "libstdc++6 (>="
depends_on libsockscope-dev "libsockscope1 (= $version-$release)"
depends_on sockscope "libsockscope1 (= $version-$release)" "libc6 (>=" "libstdc++6 (>="
depends_on python3-sockscope "libsockscope1 (= $version-$release)" "python3"
[ "$(dpkg-deb -f "${deb[sockscope]}" Recommends)" = libbpf1 ] || fail "sockscope: Recommends is not libbpf1"

# What each holds: these files among others, every file under /usr, nothing
# built for the tests, the benchmarks or the .NET wrapper.
libdir=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
contents() { dpkg-deb -c "${deb[$1]}" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }'; }
holds() { # package entry...
    local package=$1 listing entry
    listing=$(contents "$package")
    shift
    for entry in "$@" "./usr/share/doc/$package/copyright" "./usr/share/doc/$package/changelog.Debian.gz"; do
        grep -qxF -- "$entry" <<<"$listing" || fail "$package lacks $entry"
    done
}
holds libsockscope1 \
    "./$libdir/libsockscope_x64.so.$version" \
    "./$libdir/libsockscope_x64.so.1 -> libsockscope_x64.so.$version"
holds libsockscope-dev \
    "./usr/include/sockscope/sockscope.h" \
    "./$libdir/libsockscope_x64.so -> libsockscope_x64.so.1" \
    "./$libdir/pkgconfig/sockscope.pc" \
    "./$libdir/cmake/sockscope/sockscopeConfig.cmake" \
    "./$libdir/cmake/sockscope/sockscopeConfigVersion.cmake" \
    "./$libdir/cmake/sockscope/sockscopeTargets.cmake"
holds sockscope \
    "./usr/bin/sockscope" \
    "./usr/bin/sockscopeDemo_x64" \
    "./usr/share/man/man1/sockscope.1.gz" \
    "./usr/share/man/man1/sockscopeDemo_x64.1.gz" \
    "./usr/bin/sockscope-exporter" \
    "./usr/share/man/man1/sockscope-exporter.1.gz" \
    "./usr/lib/systemd/system/sockscope-exporter.service"
depends_on sockscope "libprometheus-cpp-pull1.0"
# The exporter's unit is installed disabled: no maintainer script of the
# package enables or starts it.
scripts=$(dpkg-deb --ctrl-tarfile "${deb[sockscope]}" | tar -t | grep -E 'postinst|prerm|postrm|preinst' || true)
[ -z "$scripts" ] || fail "sockscope has maintainer scripts: $scripts"
holds python3-sockscope \
    "./usr/lib/python3/dist-packages/sockscope/__init__.py" \
    "./usr/lib/python3/dist-packages/sockscope/_sockets.py" \
    "./usr/lib/python3/dist-packages/sockscope/py.typed" \
    "./usr/lib/python3/dist-packages/sockscope-$version.dist-info/METADATA"
for package in "${packages[@]}"; do
    listing=$(contents "$package")
    outside=$(grep -v -e '^\./usr/' -e '^\./$' <<<"$listing" || true)
    [ -z "$outside" ] || fail "$package: files outside /usr: $outside"
    unwanted=$(grep -Ei 'test|bench|fuzz|gtest|sockscopeNET|failing' <<<"$listing" || true)
    [ -z "$unwanted" ] || fail "$package: test, benchmark or .NET files: $unwanted"
done
dpkg-deb --ctrl-tarfile "${deb[libsockscope1]}" | tar -xO ./triggers | grep -qx 'activate-noawait ldconfig' ||
    fail "libsockscope1 does not activate the ldconfig trigger"

# lintian: no error; the warnings that stay are overridden, each with its
# reason (cmake/debian/*.lintian-overrides).
lintian_status=0
lintian_output=$(lintian --fail-on error "${deb[@]}" 2>&1) || lintian_status=$?
lintian_output=$(grep -v '^running with root privileges' <<<"$lintian_output" || true)
[ $lintian_status -eq 0 ] || { echo "$lintian_output"; fail "lintian reports errors"; }
echo "lintian: ${lintian_output:-nothing to report}"

scratch=$(mktemp -d /tmp/sockscope-package-XXXXXX)
# On any ending, the packages go again.
cleanup() {
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true
    rm -rf "$scratch"
}
trap cleanup EXIT

# The programs carry no run path: /usr/lib/<triplet> is the loader's own.
root=$scratch/root
for package in "${packages[@]}"; do dpkg-deb -x "${deb[$package]}" "$root"; done
for program in sockscope sockscopeDemo_x64 sockscope-exporter; do
    ! readelf -d "$root/usr/bin/$program" | grep -qE 'RPATH|RUNPATH' || fail "$program has a run path"
done
headers=$(objdump -p "$root/$libdir/libsockscope_x64.so.$version")
grep -q 'SONAME *libsockscope_x64\.so\.1$' <<<"$headers" || fail "SONAME"

# pkg-config names plain folders; a packager's override of the prefix
# points at the same folders under another root.
folders() { # the -I and -L folders of pkg-config's flags
    local flag
    for flag in $(pkg-config "$@" --cflags --libs sockscope); do
        case $flag in -I* | -L*) echo "${flag:2}" ;; esac
    done
}
[ "$(PKG_CONFIG_PATH=$root/$libdir/pkgconfig folders --keep-system-cflags --keep-system-libs)" = "$(printf '/usr/include\n/%s' "$libdir")" ] ||
    fail "pkg-config's folders: $(PKG_CONFIG_PATH=$root/$libdir/pkgconfig folders --keep-system-cflags --keep-system-libs)"
[ "$(PKG_CONFIG_PATH=$root/$libdir/pkgconfig folders --define-variable=prefix="$root/usr")" = "$(printf '%s\n%s' "$root/usr/include" "$root/$libdir")" ] ||
    fail "prefix override: $(PKG_CONFIG_PATH=$root/$libdir/pkgconfig folders --define-variable=prefix="$root/usr")"

# Installed together, as a user does.
(cd "$build" && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    "./$(basename "${deb[libsockscope1]}")" "./$(basename "${deb[libsockscope-dev]}")" "./$(basename "${deb[sockscope]}")" \
    "./$(basename "${deb[python3-sockscope]}")" \
    >"$scratch/apt-install.log" 2>&1) || { cat "$scratch/apt-install.log"; fail "apt-get install failed"; }
installed_files=$(dpkg -L "${packages[@]}")

# Every binary loads the installed library (through /lib on a merged /usr).
loads_installed_library() {
    local loaded
    loaded=$(ldd "$1" | sed -n 's/^\s*libsockscope_x64\.so\.1 => \(\S*\) .*/\1/p')
    [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "/$libdir/libsockscope_x64.so.$version" ] ||
        fail "$1 loads '$loaded', not /$libdir/libsockscope_x64.so.1"
}

# A caller through pkg-config, which finds the file on its own search path.
[ "$(pkg-config --modversion sockscope)" = "$version" ] || fail "pkg-config version"
# Its folders are the system's own, which pkg-config leaves out.
flags=$(pkg-config --cflags --libs sockscope)
[ "$(echo $flags)" = "-lsockscope_x64" ] || fail "pkg-config's flags: $flags"
g++ -std=c++17 -Wall -Wextra -Werror "$source_dir/tests/install/consumer.cpp" -o "$scratch/by-pkg-config" \
    $(pkg-config --cflags --libs sockscope)
loads_installed_library "$scratch/by-pkg-config"
"$scratch/by-pkg-config" >/dev/null || fail "consumer built through pkg-config failed"

# A caller through find_package, with no path given.
cmake -S "$source_dir/tests/install" -B "$scratch/by-cmake" >/dev/null
cmake --build "$scratch/by-cmake" >/dev/null
loads_installed_library "$scratch/by-cmake/consumer"
"$scratch/by-cmake/consumer" >/dev/null || fail "consumer built through find_package failed"

# The programs, the exporter's unit and the manual pages.
for program in sockscope sockscopeDemo_x64 sockscope-exporter; do loads_installed_library "/usr/bin/$program"; done
[ "$(sockscope --version)" = "sockscope $version" ] || fail "sockscope --version"
sockscope -tu >/dev/null || fail "sockscope failed"
sockscope --json -l >/dev/null || fail "sockscope --json failed"
sockscopeDemo_x64 </dev/null >/dev/null || fail "sockscopeDemo_x64 failed"
[ "$(sockscope-exporter --version)" = "sockscope-exporter $version" ] || fail "sockscope-exporter --version"
systemd-analyze verify /usr/lib/systemd/system/sockscope-exporter.service || fail "the exporter's unit does not verify"
for page in sockscope sockscopeDemo_x64 sockscope-exporter; do
    # The whole page is read: grep -q would stop early, and zcat would then
    # fail the pipeline (pipefail) on a page longer than the pipe holds.
    zcat "/usr/share/man/man1/$page.1.gz" | grep "^\.TH " | grep -q "^\.TH ${page^^} 1 .*sockscope $version" ||
        fail "manual page $page"
done

# The Python package under Debian's python3, finding the library as the
# loader does (no SOCKSCOPE_LIBRARY), and the README's first example.
python_says=$(cd / && env -u SOCKSCOPE_LIBRARY -u PYTHONPATH /usr/bin/python3 -c '
import importlib.metadata, sockscope
print(importlib.metadata.version("sockscope"), sockscope.version(), len(sockscope.net_connections("inet")) > 0)')
[ "$python_says" = "$version $version True" ] || fail "python3 -c 'import sockscope' says: $python_says"
sed -n '/^<!-- python example -->$/,/^```$/p' "$source_dir/README.md" | sed '1,2d;$d' >"$scratch/example.py"
[ -s "$scratch/example.py" ] || fail "no Python example in README.md"
(cd / && env -u SOCKSCOPE_LIBRARY -u PYTHONPATH /usr/bin/python3 "$scratch/example.py" >/dev/null) ||
    fail "README.md's Python example failed"

# Purged, nothing is left: no package known to dpkg, none of their files.
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >"$scratch/apt-purge.log" 2>&1 ||
    { cat "$scratch/apt-purge.log"; fail "apt-get purge failed"; }
for package in "${packages[@]}"; do
    ! dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qv '^not-installed$' ||
        fail "$package is still known to dpkg after the purge"
done
left=""
while IFS= read -r path; do
    # Folders shared with other packages (/usr/bin, /usr/share/man/man1...) stay.
    [ "$path" != /. ] || continue
    [ -e "$path" ] || [ -L "$path" ] || continue
    [ -d "$path" ] && [ ! -L "$path" ] && dpkg -S "$path" >/dev/null 2>&1 && continue
    left+=" $path"
done <<<"$installed_files"
[ -z "$left" ] || fail "left behind after the purge:$left"

echo "packages ${packages[*]} $version-$release: contents, Depends, lintian, installed with apt-get, pkg-config and find_package callers, the programs, the exporter's unit, the Python package, purge: all good"

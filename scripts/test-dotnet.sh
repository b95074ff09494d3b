#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The .NET wrapper's tests. Needs the native build in build/ (scripts/test.sh
# makes it first). Every part runs, also after another one failed; at the end
# the failed ones are named and the script exits 1.
#   native    the native half's interface: its header compiles as C, and
#             the library exports exactly the functions it declares
#   xunit     the xunit tests on the SDK's .NET, on the native half's
#             counting build
#   mono      the net472 build of the wrapper run under Mono, then its
#             collections probe (CollectionsProbe.cs), 40 s at most
#   package   the NuGet package, packed with every warning an error: its
#             licence, its files (stripped native libraries, the net472
#             targets, the XML documentation of each target), and a fresh
#             program that takes it from a folder
#             feed, built for net10.0 (run on .NET) and for net472 (run
#             under Mono)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1

native=$root/build/dotnet-native
counting=$root/build/dotnet-native-test/libsockscopeNET_x64_counting.so
layout_probe=$root/build/dotnet-native-test/sockscope_layout_probe
test_child=$root/build/tests/test_programs/sockscope_test_child
connection_peer=$root/build/tests/test_programs/sockscope_connection_peer
if [ ! -f "$native/libsockscopeNET_x64.so" ] || [ ! -f "$native/libsockscope_x64.so" ] || [ ! -f "$counting" ] ||
    [ ! -x "$layout_probe" ] || [ ! -x "$test_child" ] || [ ! -x "$connection_peer" ]; then
    echo "The native build is missing. Run it first, from $root:" >&2
    echo "  cmake -S . -B build -DBUILD_TESTING=ON && cmake --build build -j2" >&2
    exit 1
fi

failed=()
not_run=()
# part NAME COMMAND...: runs one part and records whether it failed.
part() {
    local name=$1
    shift
    echo "--- $name"
    if "$@"; then
        return 0
    fi
    echo "--- $name: FAILED"
    failed+=("$name")
    return 1
}

native_interface() {
    local header=sockscopeNET/native/sockscope_net_native.h status=0
    cc -fsyntax-only -std=c99 -pedantic -Wall -Wextra -Werror -x c "$header" || status=1
    local declared exported
    # The test build's counter is declared in a block of its own.
    declared=$(sed '/^#if defined(SOCKSCOPENET_COUNTING)/,/^#endif/d' "$header" |
        grep -o 'sockscopeNET_[A-Za-z0-9_]*(' | tr -d '(' | sort)
    exported=$(nm -D --defined-only "$native/libsockscopeNET_x64.so" | awk '{print $NF}' | sort) || return 1
    if [ "$declared" = "$exported" ]; then
        echo "libsockscopeNET_x64.so exports the $(wc -l <<<"$exported") functions of its header"
    else
        echo "libsockscopeNET_x64.so exports other than its header declares:"
        diff <(echo "$declared") <(echo "$exported")
        status=1
    fi
    return $status
}

# The xunit tests; a test skipped as root fails the part (every one of them
# runs as root here: the skips are for callers without it).
xunit_tests() {
    local log status=0
    log=$(mktemp)
    SOCKSCOPE_TEST_CHILD=$test_child SOCKSCOPE_CONNECTION_PEER=$connection_peer \
        dotnet test sockscopeNET/tests -c Release --nologo --logger "console;verbosity=normal" >"$log" 2>&1 || status=1
    grep -E '^\s*(Passed!|Failed!)|^\s*(Skipped|Failed) |^\s+(Error Message|Stack Trace):|^\s{5,}\S|: error [A-Z]+[0-9]+' "$log" | grep -v '^\s*Passed ' || true
    if [ "$(id -u)" = 0 ] && grep -qE '^\s*Skipped ' "$log"; then
        echo "xunit: tests skipped as root (above)"
        status=1
    fi
    rm -f "$log"
    return $status
}

mono_check() {
    dotnet build sockscopeNET/monocheck -c Release --nologo -v quiet &&
        mono sockscopeNET/monocheck/bin/Release/net472/MonoCheck.exe
}

# CollectionsProbe under Mono, with four network namespaces of its own: two
# threads read them all while collections are forced, and must be done
# within 40 s (a hang is the fault it looks for).
mono_collections() {
    if [ "$(id -u)" != 0 ]; then
        echo "skipped: making network namespaces needs root"
        return 0
    fi
    local names=() name i status=0
    for i in 1 2 3 4; do
        name=ssmono$$n$i
        ip netns add "$name" || { status=1; break; }
        names+=("$name")
    done
    if [ $status -eq 0 ]; then
        timeout -k 5 40 mono sockscopeNET/monocheck/bin/Release/net472/MonoCheck.exe collections-probe || status=1
    fi
    for name in "${names[@]}"; do ip netns delete "$name" || status=1; done
    return $status
}

scratch=$(mktemp -d /tmp/sockscopeNET-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
package=""

# Every warning fails the pack, NuGet's NU5xxx among them.
pack() {
    dotnet pack sockscopeNET/src -c Release --nologo -v quiet -warnaserror -o "$scratch/feed" || return 1
    package=$(ls "$scratch"/feed/sockscopeNET.*.nupkg)
    echo "packed $(basename "$package")"
}

package_files() {
    local listing status=0 file
    listing=$(unzip -Z1 "$package") || return 1
    for file in lib/net472/sockscopeNET_x64.dll lib/netstandard2.0/sockscopeNET_x64.dll \
        lib/net8.0/sockscopeNET_x64.dll build/net472/sockscopeNET.targets \
        lib/net472/sockscopeNET_x64.xml lib/netstandard2.0/sockscopeNET_x64.xml lib/net8.0/sockscopeNET_x64.xml \
        runtimes/linux-x64/native/libsockscopeNET_x64.so runtimes/linux-x64/native/libsockscope_x64.so.1 \
        runtimes/linux-x64/native/libsockscope_x64.so; do
        if grep -qxF "$file" <<<"$listing"; then
            echo "has $file"
        else
            echo "missing $file"
            status=1
        fi
    done
    if unzip -p "$package" sockscopeNET.nuspec | grep -qF '<license type="expression">MIT</license>'; then
        echo "nuspec names the MIT licence"
    else
        echo "nuspec lacks the MIT licence"
        status=1
    fi
    unzip -q -o "$package" 'runtimes/*' -d "$scratch/unpacked" || return 1
    for file in "$scratch"/unpacked/runtimes/linux-x64/native/*; do
        local sections
        sections=$(readelf -S --wide "$file") || return 1
        if grep -qE '\.debug_info|\.symtab' <<<"$sections"; then
            echo "$(basename "$file") is not stripped"
            status=1
        elif ! grep -q '\.gnu_debuglink' <<<"$sections"; then
            echo "$(basename "$file") has no debug link"
            status=1
        else
            echo "$(basename "$file") stripped, with a debug link"
        fi
    done
    # Both find libsockscope_x64.so.1 beside them; libsockscope_x64.so, the
    # name the C interface's P/Invokes look for, is only the way to it.
    local runpath
    for file in libsockscopeNET_x64.so libsockscope_x64.so; do
        runpath=$(readelf -d "$scratch/unpacked/runtimes/linux-x64/native/$file" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
        if [ "$runpath" != '$ORIGIN' ]; then
            echo "$file has RUNPATH '$runpath', not \$ORIGIN"
            status=1
        fi
    done
    local needed
    needed=$(readelf -d "$scratch/unpacked/runtimes/linux-x64/native/libsockscope_x64.so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    if [ "$needed" != libsockscope_x64.so.1 ]; then
        echo "libsockscope_x64.so needs '$needed', not libsockscope_x64.so.1 alone"
        status=1
    fi
    return $status
}

consumer_build() {
    cp sockscopeNET/packagecheck/PackageCheck.csproj sockscopeNET/packagecheck/Program.cs "$scratch/"
    # The folder feed joins the sources configured on the machine.
    cat >"$scratch/nuget.config" <<CONFIG
<configuration>
  <packageSources>
    <add key="sockscope-local" value="$scratch/feed" />
  </packageSources>
</configuration>
CONFIG
    local version
    version=$(basename "$package" .nupkg)
    version=${version#sockscopeNET.}
    # Its own package folder, so that no copy cached by an earlier run is used.
    NUGET_PACKAGES=$scratch/packages dotnet build "$scratch/PackageCheck.csproj" -c Release --nologo -v quiet \
        -p:SockscopePackageVersion="$version"
}

# consumer_run FRAMEWORK COMMAND...: runs the consumer, which must have loaded
# the wrapper's build for FRAMEWORK.
consumer_run() {
    local expected=$1 output
    shift
    output=$("$@")
    local status=$?
    echo "$output"
    [ $status -eq 0 ] || return 1
    if ! grep -qxF "wrapper built for $expected" <<<"$output"; then
        echo "expected the wrapper built for $expected"
        return 1
    fi
}

part native native_interface
part xunit xunit_tests
if part mono mono_check; then
    part "mono: collections" mono_collections
else
    not_run+=("mono: collections")
fi
if part "package: pack" pack; then
    part "package: files" package_files
    if part "package: consumer build" consumer_build; then
        part "package: consumer on .NET (net10.0)" consumer_run ".NETCoreApp,Version=v8.0" \
            dotnet "$scratch/bin/Release/net10.0/PackageCheck.dll"
        part "package: consumer under Mono (net472)" consumer_run ".NETFramework,Version=v4.7.2" \
            mono "$scratch/bin/Release/net472/PackageCheck.exe"
    else
        not_run+=("package: consumers")
    fi
else
    not_run+=("package: files" "package: consumers")
fi

echo
if [ ${#failed[@]} -eq 0 ] && [ ${#not_run[@]} -eq 0 ]; then
    echo "all .NET parts passed"
    exit 0
fi
for name in "${failed[@]}"; do echo "FAILED: $name"; done
for name in "${not_run[@]}"; do echo "NOT RUN: $name (an earlier step failed)"; done
exit 1

#!/usr/bin/env bash
# The .NET wrapper's tests. Needs the native build in build/ (scripts/test.sh
# makes it first): xunit tests on the SDK's .NET, the net472 build run once
# under Mono, and the NuGet package taken by a fresh program from a folder feed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1

echo "--- xunit tests"
SOCKSCOPE_TEST_CHILD=$root/build/tests/sockscope_test_child \
    dotnet test sockscopeNET/tests -c Release --nologo

echo "--- net472 build under Mono"
dotnet build sockscopeNET/monocheck -c Release --nologo -v quiet
mono sockscopeNET/monocheck/bin/Release/net472/MonoCheck.exe

echo "--- NuGet package in a fresh program"
scratch=$(mktemp -d /tmp/sockscopeNET-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
dotnet pack sockscopeNET/src -c Release --nologo -v quiet -o "$scratch/feed"
version=$(ls "$scratch/feed" | sed -n 's/^sockscopeNET\.\(.*\)\.nupkg$/\1/p')
unzip -l "$scratch/feed/sockscopeNET.$version.nupkg" | grep -E 'lib/|runtimes/'
cp sockscopeNET/packagecheck/PackageCheck.csproj sockscopeNET/packagecheck/Program.cs "$scratch/"
# The folder feed joins the sources configured on the machine.
cat > "$scratch/nuget.config" <<CONFIG
<configuration>
  <packageSources>
    <add key="sockscope-local" value="$scratch/feed" />
  </packageSources>
</configuration>
CONFIG
# Its own package folder, so that no copy cached by an earlier run is used.
NUGET_PACKAGES=$scratch/packages dotnet run --project "$scratch/PackageCheck.csproj" \
    -p:SockscopePackageVersion="$version"

#!/bin/sh
# SPDX-License-Identifier: MIT
# The exporter's unit as systemd reads it: `systemd-analyze verify` finds
# no fault in a copy that starts the exporter built here and finds its
# manual page built here, and the unit keeps the least privilege it was
# written with.
set -eu
unit=$1 exporter=$2 manual_page=$3
command -v systemd-analyze >/dev/null 2>&1 || { echo "systemd-analyze is not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/man/man1"
cp "$manual_page" "$dir/man/man1/"
sed "s|^ExecStart=/usr/bin/sockscope-exporter|ExecStart=$exporter|" "$unit" > "$dir/sockscope-exporter.service"
output=$(MANPATH="$dir/man" systemd-analyze verify "$dir/sockscope-exporter.service" 2>&1) || { echo "$output"; exit 1; }
# Anything it says is a fault in the unit.
if [ -n "$output" ]; then echo "$output"; exit 1; fi
for line in 'DynamicUser=yes' 'NoNewPrivileges=yes' 'ProtectSystem=strict' 'ProtectHome=yes' 'PrivateTmp=yes' \
    'AmbientCapabilities=CAP_SYS_PTRACE CAP_DAC_READ_SEARCH CAP_BPF CAP_PERFMON' \
    'CapabilityBoundingSet=CAP_SYS_PTRACE CAP_DAC_READ_SEARCH CAP_BPF CAP_PERFMON'; do
    grep -qx "$line" "$unit" || { echo "the unit lost: $line"; exit 1; }
done
grep -q '^ExecStart=.*--listen 127\.0\.0\.1:' "$unit" || { echo "the unit does not listen on 127.0.0.1"; exit 1; }
if grep -q '^\[Install\]' "$unit" && ! grep -qx 'WantedBy=multi-user.target' "$unit"; then
    echo "the unit's [Install] section names no target"; exit 1
fi
echo "verified"

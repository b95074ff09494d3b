#!/bin/bash
# SPDX-License-Identifier: MIT
# Medians of 11 runs: `sockscope -t` (a fresh process, the table written to
# /dev/null) against one scrape of a running exporter (stream on).
set -eu
tool=$1 exporter=$2 port=$3
$exporter --listen 127.0.0.1:$port 2>/dev/null & pid=$!
trap 'kill $pid; wait $pid' EXIT
sleep 3
curl -s -o /dev/null 127.0.0.1:$port/metrics
t=() s=()
for i in $(seq 11); do
  a=$(date +%s%N); $tool -t >/dev/null; b=$(date +%s%N); t+=($(( (b-a)/1000000 )))
  a=$(date +%s%N); curl -s -o /dev/null 127.0.0.1:$port/metrics; b=$(date +%s%N); s+=($(( (b-a)/1000000 )))
done
median() { printf '%s\n' "$@" | sort -n | sed -n 6p; }
echo "sockets: $(ss -tan | wc -l) TCP lines; sockscope -t median $(median "${t[@]}") ms; scrape median $(median "${s[@]}") ms"
echo "  -t: ${t[*]}"
echo "  scrape: ${s[*]}"
grep sockscope_scrape_duration_seconds <(curl -s 127.0.0.1:$port/metrics) | tail -1

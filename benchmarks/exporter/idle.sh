#!/bin/bash
# SPDX-License-Identifier: MIT
# CPU of an exporter with its stream on and no scrape, over SECONDS.
exporter=$1 port=$2 seconds=$3
$exporter --listen 127.0.0.1:$port 2>/dev/null & pid=$!
sleep 5
curl -s 127.0.0.1:$port/metrics | grep 'source_up{source="stream"}'
ticks() { awk '{print $14+$15}' /proc/$pid/stat; }
a=$(ticks); sleep $seconds; b=$(ticks)
hz=$(getconf CLK_TCK)
echo "CPU over $seconds s: $(( b - a )) ticks of 1/$hz s = $(awk -v t=$((b-a)) -v s=$seconds -v hz=$hz 'BEGIN{printf "%.3f", 100*t/hz/s}') % of one core"
curl -s 127.0.0.1:$port/metrics | grep -E 'sockscope_connections_closed_total' | awk '{s+=$2} END {print "connections closed seen by the stream meanwhile:", s}'
kill $pid; wait $pid

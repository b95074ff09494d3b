#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Every TCP IPv4 socket with the name of each owner, read through the
Python package and through psutil (net_connections("tcp4"), then
Process(pid).name() for each row with a pid), alternating, and the median of
each with their ratio. With --loadgen, holds that many loopback connections
first (benchmarks/sockscope_loadgen of a bench build) and ends them after.

    SOCKSCOPE_LIBRARY=build-bench/sockscope/libsockscope_x64.so.1 \\
        /usr/bin/python3 benchmarks/python_vs_psutil.py \\
        --loadgen build-bench/benchmarks/sockscope_loadgen --connections 10000 --rounds 9

Run it as root, so that both see every process's descriptors; on a quiet
machine for figures worth keeping.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import psutil  # noqa: E402

import sockscope  # noqa: E402


def ours():
    named = 0
    rows = sockscope.sockets("tcp", family=4)
    for row in rows:
        for owner in row.owners:
            if owner.name is not None:
                named += 1
    return len(rows), named


def theirs():
    named = 0
    rows = psutil.net_connections("tcp4")
    for row in rows:
        if row.pid is not None:
            try:
                psutil.Process(row.pid).name()
                named += 1
            except psutil.Error:
                pass
    return len(rows), named


def timed(function):
    started = time.perf_counter()
    counts = function()
    return time.perf_counter() - started, counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loadgen", help="sockscope_loadgen of a bench build")
    parser.add_argument("--connections", type=int, default=10000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    load = None
    try:
        if args.loadgen:
            load = subprocess.Popen([args.loadgen, str(args.connections)], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True)
            ready = load.stdout.readline()
            if not ready.startswith("ready"):
                sys.exit(f"the load generator did not start: {ready!r}")
        ours()  # the library's first call loads its owner scan
        times = {"sockscope": [], "psutil": []}
        counts = {}
        for _ in range(args.rounds):
            for name, function in (("sockscope", ours), ("psutil", theirs)):
                seconds, counts[name] = timed(function)
                times[name].append(seconds)
        median = {name: statistics.median(values) for name, values in times.items()}
        for name in times:
            rows, named = counts[name]
            print(f"{name:9} {median[name] * 1000:8.1f} ms median of {args.rounds} "
                  f"({rows} TCP IPv4 rows, {named} owner names)")
        print(f"ratio     {median['psutil'] / median['sockscope']:8.1f} x "
              f"(connections held: {args.connections if load else 'none started'})")
    finally:
        if load is not None:
            load.stdin.close()
            load.wait(timeout=120)


if __name__ == "__main__":
    main()

# SPDX-License-Identifier: MIT
# Sourced by compare.sh: the measurements taken while a load is held. Each
# appends CSV lines to the files in $out. Needs $bin, $demo, $managed
# (empty without dotnet), $work and $out.

proc_scan=(env SOCKSCOPE_OWNER_SCAN=proc)

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# count_rows N: every tool must see the same table, give or take what
# other work on the machine opens or closes meanwhile (a few rows, or one
# in 200). Tried three times before it counts as a fault. Sets rows.
count_rows() {
    local n=$1 attempt counts lowest highest
    for attempt in 1 2 3; do
        counts=$(printf '%s\t%s\n' \
            snapshot_once "$("$bin/snapshot_once")" \
            "SOCKSCOPE_OWNER_SCAN=proc snapshot_once" "$("${proc_scan[@]}" "$bin/snapshot_once")" \
            sockscopeDemo_x64 "$("$demo" </dev/null | wc -l)" \
            "SOCKSCOPE_OWNER_SCAN=proc sockscopeDemo_x64" "$("${proc_scan[@]}" "$demo" </dev/null | wc -l)" \
            ss "$(ss -tanH4 | wc -l)" \
            netstat "$(netstat -tan4 2>/dev/null | grep -c '^tcp ')")
        lowest=$(cut -f2 <<<"$counts" | sort -n | head -1)
        highest=$(cut -f2 <<<"$counts" | sort -n | tail -1)
        [ $((highest - lowest)) -le $((5 + lowest / 200)) ] && break
        if [ "$attempt" -eq 3 ]; then
            echo "row counts differ at $n connections:" >&2
            echo "$counts" >&2
            exit 1
        fi
        sleep 2
    done
    rows=$(awk -F'\t' '$1 == "ss" { print $2 }' <<<"$counts")
    printf '%s\n' "$counts" | awk -F'\t' -v n="$n" '{ printf "%s,%s,%s\n", n, $1, $2 }' >>"$out/rows.csv"
}

# time_commands N ROWS ROUNDS: whole commands, each once per round in turn:
# the first call of a fresh process on both owner paths, the console
# listing on both, the tool, ss and netstat; and ss without owners
# (ss -tan4: the kernel's dump alone), the floor for one-shot programs.
time_commands() {
    local n=$1 rows=$2 rounds=$3 timings
    local measures=(first_call first_call_proc listing listing_proc tool ss netstat ss_no_owners)
    timings=$("$bin/command_timer" "$rounds" \
        "$bin/snapshot_once >/dev/null" \
        "SOCKSCOPE_OWNER_SCAN=proc $bin/snapshot_once >/dev/null" \
        "$demo >/dev/null" \
        "SOCKSCOPE_OWNER_SCAN=proc $demo >/dev/null" \
        "$tool -t4 >/dev/null" \
        "ss -tanp4 >/dev/null" \
        "netstat -tanp4 >/dev/null 2>&1" \
        "ss -tan4 >/dev/null")
    local i=0 ms
    while IFS=$'\t' read -r ms _; do
        echo "$n,$rows,${measures[$i]},$ms" >>"$out/times.csv"
        i=$((i + 1))
    done <<<"$timings"
}

# time_repeated N ROWS K: the repeated getstat_tcp in one process, after one
# warm-up call: three blocks of K calls per path, the paths alternating so
# that drift on the machine weighs on both alike; the median of the three
# block medians. The same for the managed call when dotnet is there.
time_repeated() {
    local n=$1 rows=$2 k=$3 block default=() proc=() managed_default=() managed_proc=()
    for block in 1 2 3; do
        default+=("$("$bin/snapshot_once" --repeat "$k" | cut -d' ' -f1)")
        proc+=("$("${proc_scan[@]}" "$bin/snapshot_once" --repeat "$k" | cut -d' ' -f1)")
    done
    echo "$n,$rows,repeated_call,$(median "${default[@]}")" >>"$out/times.csv"
    echo "$n,$rows,repeated_call_proc,$(median "${proc[@]}")" >>"$out/times.csv"
    [ -n "$managed" ] || return 0
    echo "$n,$rows,managed_call,$($managed "$k")" >>"$out/times.csv"
    echo "$n,$rows,managed_call_proc,$("${proc_scan[@]}" $managed "$k")" >>"$out/times.csv"
}

# measure_memory N: the heap a snapshot hands over and the peak heap growth
# while it is taken, for the first and a repeated call on both paths.
measure_memory() {
    local n=$1 path report
    for path in default proc; do
        local env_for=()
        [ "$path" = proc ] && env_for=("${proc_scan[@]}")
        report=$("${env_for[@]}" env LD_PRELOAD="$heap_counter" "$bin/snapshot_once" --memory)
        # The counter sees at least the blocks the snapshot hands over.
        if ! awk '$1 ~ /_peak_bytes$/ { peak[substr($1, 1, index($1, "_") - 1)] = $2 }
                  $1 ~ /_returned_bytes$/ { back[substr($1, 1, index($1, "_") - 1)] = $2 }
                  END { for (c in back) if (!(c in peak) || peak[c] < back[c]) exit 1 }' <<<"$report"; then
            echo "the heap counter preload did not count the snapshot:" >&2
            echo "$report" >&2
            exit 1
        fi
        for call in first repeated; do
            awk -v n="$n" -v path="$path" -v call="$call" '
                $1 == call "_peak_bytes" { peak = $2 }
                $1 == call "_returned_bytes" { returned = $2 }
                END { printf "%s,%s,%s,%s,%s\n", n, path, call, peak, returned }' <<<"$report" >>"$out/memory.csv"
        done
    done
}

# measure_peak_memory N: the peak resident memory of the tool listing the
# table and of a program that only takes the same snapshot through the same
# interface (snapshot_once --c: the library's own share), each the least of
# three runs, in KiB.
measure_peak_memory() {
    local n=$1 name
    peak_kib() { python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$@"; }
    for name in tool library; do
        local command=("$tool" -t4)
        [ "$name" = library ] && command=("$bin/snapshot_once" --c)
        echo "$n,$name,$(for _ in 1 2 3; do peak_kib "${command[@]}"; done | sort -n | head -1)" >>"$out/peak_memory.csv"
    done
}

# owner_sources N: which source each path used, as seen from the process.
owner_sources() {
    echo "$1,default,$("$bin/snapshot_once" --owner-source)" >>"$out/sources.csv"
    echo "$1,proc,$("${proc_scan[@]}" "$bin/snapshot_once" --owner-source)" >>"$out/sources.csv"
}

# fastest_process N COMMAND...: runs COMMAND (a `snapshot_once --repeat`)
# in N processes and prints the line ("median fastest") of the one whose
# fastest call was the fastest. On a VM a process's calls may all run a
# third slower than another's (where its memory and threads landed); the
# best of a few processes keeps that out of small differences.
fastest_process() {
    local n=$1 i
    shift
    for i in $(seq "$n"); do "$@"; done | sort -g -k2,2 | head -1
}

# measure_idle_slopes CONNECTIONS K COUNTS...: with CONNECTIONS held, the
# repeated getstat_tcp on both paths beside each count of idle processes
# (the median and the fastest of K calls, in the best of
# IDLE_PROCESSES_PER_POINT processes, 5), in three blocks that take the
# counts up, down and up again, so that drift on the machine cancels. Every
# idle load also holds one connection in a process started after its idle
# ones, so that a scan which stops once every socket has its owner still
# passes them all.
measure_idle_slopes() {
    local connections=$1 k=$2 block idle counts
    shift 2
    start_load idle-base "$connections" 0
    for block in 1 2 3; do
        counts=("$@")
        [ "$block" -eq 2 ] && counts=($(printf '%s\n' "$@" | tac))
        for idle in "${counts[@]}"; do
            start_load idle "1" "$idle"
            echo "$block,default,$idle,$(fastest_process "$idle_processes_per_point" "$bin/snapshot_once" --repeat "$k" | tr ' ' ,)" >>"$out/idle.csv"
            echo "$block,proc,$idle,$(fastest_process "$idle_processes_per_point" "${proc_scan[@]}" "$bin/snapshot_once" --repeat "$k" | tr ' ' ,)" >>"$out/idle.csv"
            stop_load idle
        done
    done
    # While the load is up: anything the snapshot leaves behind.
    for path in default proc; do
        local env_for=()
        [ "$path" = proc ] && env_for=("${proc_scan[@]}")
        echo "$path: $("${env_for[@]}" valgrind --leak-check=full --suppressions=tests/valgrind/libbpf.supp "$bin/snapshot_once" 2>&1 >/dev/null |
            grep -E 'in use at exit|definitely lost|ERROR SUMMARY' | sed 's/^==[0-9]*== *//' | paste -sd ';')" >>"$out/leaks.txt"
    done
    stop_load idle-base
}

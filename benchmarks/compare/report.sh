# SPDX-License-Identifier: MIT
# Sourced by compare.sh: the summary of a run, in Markdown, from the CSV
# files in $out, and the check of the performance targets.

# get N MEASURE: a median from times.csv, empty when it wasn't measured.
get() { awk -F, -v n="$1" -v m="$2" '$1 == n && $3 == m { print $4 }' "$out/times.csv"; }
rows_at() { awk -F, -v n="$1" '$1 == n { print $2; exit }' "$out/times.csv"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b == 0) print ""; else printf "%.2f", a / b }'; }
# source_of PATH [N]: the owner source a path used (at N connections, or
# at the last size), as snapshot_once --owner-source saw it.
source_of() {
    awk -F, -v p="$1" -v n="${2:-}" '$2 == p && (n == "" || $1 == n) { s = $3 } END { print s }' "$out/sources.csv" |
        sed 's/^kernel-iterator$/kernel iterator/; s/^proc-scan$/\/proc scan/'
}
# peak_ratio N: the tool's peak resident memory ÷ snapshot_once's.
peak_ratio() {
    awk -F, -v n="$1" '$1 == n { kib[$2] = $3 } END { if (kib["library"] > 0) printf "%.2f", kib["tool"] / kib["library"] }' \
        "$out/peak_memory.csv"
}
thousands() { LC_ALL=C awk -v v="$1" 'BEGIN { s = sprintf("%d", v); while (s ~ /[0-9][0-9][0-9][0-9]/) sub(/[0-9][0-9][0-9]([,]|$)/, ",&", s); print s }'; }

# idle_slopes [COLUMN]: "path slope-µs" per path: the median over the
# blocks of the least-squares slope of time against idle processes, from
# the fastest call of each point (column 5) or the median (column 4). The
# fastest is the steadier on a busy machine: what others run there only
# ever adds time.
idle_slopes() {
    [ -s "$out/idle.csv" ] || return 0
    awk -F, -v col="${1:-5}" '{ k = $1 FS $2; c[k]++; sx[k] += $3; sy[k] += $col; sxx[k] += $3 * $3; sxy[k] += $3 * $col }
        END { for (k in c) { split(k, f, FS); d = c[k] * sxx[k] - sx[k] * sx[k]
              if (d > 0) printf "%s %.2f\n", f[2], (c[k] * sxy[k] - sx[k] * sy[k]) / d * 1000 } }' "$out/idle.csv" |
        sort -k1,1 -k2,2g | awk '{ v[$1] = v[$1] " " $2; n[$1]++ }
        END { for (p in v) { split(substr(v[p], 2), s, " "); print p, s[int((n[p] + 1) / 2)] } }'
}

# The targets. Each line: "| target | measured | limit | held |"; counts
# in targets_held and targets_missed.
targets_held=0
targets_missed=0
target() { # label measured limit [note]
    local verdict
    if [ -z "$2" ]; then
        verdict="not measured${4:+ ($4)}"
    elif awk -v m="$2" -v l="$3" 'BEGIN { exit !(m <= l) }'; then
        verdict="held${4:+ ($4)}"
        targets_held=$((targets_held + 1))
    else
        verdict="**missed**${4:+ ($4)}"
        targets_missed=$((targets_missed + 1))
    fi
    echo "| $1 | ${2:--} | ≤ $3 | $verdict |"
}

# Cost per added row over the last step of sizes against the step before:
# growth is linear when it stays within 20 %.
growth() { # measure -> "ratio detail"
    local sizes=($(cut -d, -f1 "$out/times.csv" | sed 1d | sort -nu | tail -3))
    [ ${#sizes[@]} -eq 3 ] || return 0
    local t=() r=() s
    for s in "${sizes[@]}"; do t+=("$(get "$s" "$1")"); r+=("$(rows_at "$s")"); done
    awk -v t1="${t[0]}" -v t2="${t[1]}" -v t3="${t[2]}" -v r1="${r[0]}" -v r2="${r[1]}" -v r3="${r[2]}" \
        -v s2="${sizes[1]}" -v s3="${sizes[2]}" 'BEGIN {
            a = (t2 - t1) / (r2 - r1) * 1000; b = (t3 - t2) / (r3 - r2) * 1000
            if (a <= 0) { print ""; exit }
            printf "%.2f %.2f µs/row up to %s, %.2f µs/row from %s to %s\n", b / a, a, s2, b, s2, s3 }'
}

check_targets() {
    local as_root=$1 n slopes
    local iterator=$(source_of default)
    local note=""
    [ "$as_root" = yes ] || note="not run as root"
    echo "| target | measured | limit | held |"
    echo "|---|---|---|---|"
    for n in 10000 100000; do
        local slack=1 label=$(thousands "$n")
        [ "$n" = 100000 ] && slack=1.2
        local ss_ms=$(get "$n" ss)
        if [ -z "$ss_ms" ]; then
            local how="add it to SIZES"
            [ "$n" = 100000 ] && how="--large runs it"
            echo "| $label connections: ratios to ss -tanp4, memory | not run | | $how |"
            continue
        fi
        target "$label: repeated getstat_tcp, default path ÷ ss -tanp4" "$(ratio "$(get "$n" repeated_call)" "$ss_ms")" \
            "$(awk -v s=$slack 'BEGIN { printf "%.2f", 0.15 * s }')" "$note"
        target "$label: repeated getstat_tcp, SOCKSCOPE_OWNER_SCAN=proc ÷ ss -tanp4" \
            "$(ratio "$(get "$n" repeated_call_proc)" "$ss_ms")" "$(awk -v s=$slack 'BEGIN { printf "%.2f", 0.30 * s }')" "$note"
        target "$label: console listing ÷ ss -tanp4" "$(ratio "$(get "$n" listing)" "$ss_ms")" \
            "$(awk -v s=$slack 'BEGIN { printf "%.2f", 0.40 * s }')" "$note"
        # One-shot programs, as people run them by hand, against the
        # kernel's dump alone; and the tool's peak memory against the
        # library's for the same table.
        local floor=$(get "$n" ss_no_owners) program
        [ "$n" = 100000 ] && for program in first_call listing tool; do
            target "$label: one-shot $program ÷ ss -tan4 (no owners)" "$(ratio "$(get "$n" "$program")" "$floor")" 1.40 "$note"
        done
        target "$label: the tool's peak memory ÷ the library's" "$(peak_ratio "$n")" 1.30
        local path
        for path in default proc; do
            local memory=$(awk -F, -v n="$n" -v p="$path" '$1 == n && $2 == p && $3 == "repeated" && $4 != "" {
                printf "%.2f", $4 / $5 }' "$out/memory.csv")
            target "$label: peak heap of a repeated snapshot ÷ bytes returned ($path path)" "$memory" 2.00
        done
    done
    local measure
    for measure in repeated_call repeated_call_proc listing; do
        local grown=$(growth "$measure")
        target "linear growth of $measure: cost per row of the last step ÷ the step before" \
            "${grown%% *}" 1.20 "${grown#* }"
    done
    slopes=$(idle_slopes)
    target "cost per idle process, SOCKSCOPE_OWNER_SCAN=proc (µs)" "$(awk '$1 == "proc" { print $2 }' <<<"$slopes")" 25
    local why="default path is the $iterator"
    [ "$iterator" = "kernel iterator" ] && why=""
    target "cost per idle process, default path (µs)" "$(awk '$1 == "default" { print $2 }' <<<"$slopes")" 3 "$why"
    local ss_growth=$(growth ss)
    if [ -n "$ss_growth" ]; then
        echo
        echo "For reading the ratios: ss -tanp4's own cost per row changes ${ss_growth%% *}× over the last step (${ss_growth#* }). Where ss grows faster than linearly, ratios to it flatter the larger size; the linear-growth lines are then the stricter test."
    fi
}

overview() {
    echo "| connections (rows) | first call | first call, proc | repeated call | repeated call, proc | listing | listing, proc | sockscope -t4 | ss -tanp4 | netstat -tanp | ss -tan4 (no owners) |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|"
    local n
    for n in $(cut -d, -f1 "$out/times.csv" | sed 1d | sort -nu); do
        local line="| $(thousands "$n") ($(thousands "$(rows_at "$n")"))" m
        for m in first_call first_call_proc repeated_call repeated_call_proc listing listing_proc tool ss netstat ss_no_owners; do
            line+=" | $(get "$n" "$m")"
        done
        echo "$line |"
    done
}

size_section() { # N ROUNDS
    local n=$1 rounds=$2 ss_ms=$(get "$1" ss)
    cell() { local v=$(get "$n" "$1"); [ -n "$v" ] && echo "$v ($(ratio "$v" "$ss_ms"))" || echo "-"; }
    memory_cell() {
        awk -F, -v n="$n" -v p="$1" '$1 == n && $2 == p && $3 == "repeated" {
            if ($4 == "") printf "- (%d bytes returned)", $5
            else printf "%.2f (%d of %d bytes)", $4 / $5, $4, $5 }' "$out/memory.csv"
    }
    echo
    echo "## $(thousands "$n") connections ($(thousands "$(rows_at "$n")") rows)"
    echo
    echo "Rows seen: $(awk -F, -v n="$n" '$1 == n { printf "%s%s %s", sep, $2, $3; sep = ", " }' "$out/rows.csv")."
    echo "Owner source seen in process: default path $(source_of default "$n"), SOCKSCOPE_OWNER_SCAN=proc $(source_of proc "$n")."
    echo
    echo "| median of $rounds: ms (÷ ss -tanp4) | default path | SOCKSCOPE_OWNER_SCAN=proc |"
    echo "|---|---|---|"
    echo "| first getstat_tcp: whole \`snapshot_once\` (start, load, one call) | $(cell first_call) | $(cell first_call_proc) |"
    echo "| repeated getstat_tcp in one process, after a warm-up (3 blocks) | $(cell repeated_call) | $(cell repeated_call_proc) |"
    echo "| console listing: \`sockscopeDemo_x64 </dev/null >/dev/null\` | $(cell listing) | $(cell listing_proc) |"
    echo "| managed getstat_tcp, repeated (sockscopeNET/bench) | $(cell managed_call) | $(cell managed_call_proc) |"
    echo "| peak heap of a repeated snapshot ÷ bytes returned | $(memory_cell default) | $(memory_cell proc) |"
    echo "| the tool: \`sockscope -t4 >/dev/null\` (peak memory ÷ the library's: $(peak_ratio "$n")) | $(cell tool) | |"
    echo "| \`ss -tanp4\` | $(cell ss) | |"
    echo "| \`ss -tan4\` (no owners: the kernel's dump alone) | $(cell ss_no_owners) | |"
    echo "| \`netstat -tanp\` | $(cell netstat) | |"
    echo
    echo "Where one snapshot's time goes (stage_profile):"
    echo
    echo '```'
    cat "$out/stages-$n.txt"
    echo '```'
}

idle_section() {
    [ -s "$out/idle.csv" ] || return 0
    local counts=($(cut -d, -f3 "$out/idle.csv" | sort -nu))
    echo
    echo "## Idle processes beside $(thousands "$idle_connections") connections"
    echo
    echo "Repeated getstat_tcp in process, the fastest and the median of $idle_rounds calls, ms; the slope of the fastest:"
    echo
    echo "| block | path | $(printf '%s idle | ' "${counts[@]}")slope µs per process |"
    echo "|---|---|$(printf -- '---|%.0s' "${counts[@]}")---|"
    awk -F, -v list="${counts[*]}" '
        { k = $1 FS $2; if (!(k in seen)) { seen[k] = 1; order[++n] = k }
          cell[k, $3] = sprintf("%.2f (%.2f)", $5, $4)
          c[k]++; sx[k] += $3; sy[k] += $5; sxx[k] += $3 * $3; sxy[k] += $3 * $5 }
        END { m = split(list, idle, " ")
              for (i = 1; i <= n; i++) { k = order[i]; split(k, f, FS); line = "| " f[1] " | " f[2]
                  for (j = 1; j <= m; j++) line = line " | " cell[k, idle[j]]
                  printf "%s | %.2f |\n", line, (c[k] * sxy[k] - sx[k] * sy[k]) / (c[k] * sxx[k] - sx[k] * sx[k]) * 1000 } }' \
        "$out/idle.csv"
    echo
    echo "Median slope of the fastest calls: $(idle_slopes 5 | awk '{ printf "%s%s %s µs", sep, $1, $2; sep = ", " }') per idle process (of the medians: $(idle_slopes 4 | awk '{ printf "%s%s %s µs", sep, $1, $2; sep = ", " }'))."
}

memory_section() {
    echo
    echo "## Memory"
    echo
    echo "Peak heap growth while a snapshot is taken (heap counter preload), against the bytes it hands over:"
    echo
    echo "| connections | path | call | peak bytes | returned bytes | ratio |"
    echo "|---|---|---|---|---|---|"
    awk -F, '{ printf "| %s | %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5, ($4 == "" ? "-" : sprintf("%.2f", $4 / $5)) }' \
        "$out/memory.csv"
    if [ -s "$out/leaks.txt" ]; then
        echo
        echo "valgrind memcheck, one snapshot at $(thousands "$idle_connections") connections:"
        echo
        echo '```'
        cat "$out/leaks.txt"
        echo '```'
    fi
}

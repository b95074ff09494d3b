# SPDX-License-Identifier: MIT
# Sourced by compare.sh: holding loads of loopback connections and idle
# processes (sockscope_loadgen) beside the measurements, and a check that
# the load generator fails cleanly. Needs $bin (the benchmark programs) and
# $work (a scratch folder).

# Loads by name: the generator's id and the write end of the FIFO that is
# its standard input. Closing that end ends the load.
declare -A load_pid=() load_fd=()

# start_load NAME CONNECTIONS IDLE_PROCESSES: returns once the load is up
# and sets load_rows (TCP rows it adds) and load_holders. A load that fails
# to set up ends the script with the generator's reason.
start_load() {
    local name=$1 fifo=$work/load-$1.in out=$work/load-$1.out err=$work/load-$1.err
    rm -f "$fifo" "$out"
    mkfifo "$fifo"
    (
        # Only its own FIFO: a load that held another's write end would keep
        # that one alive after it was stopped.
        for fd in "${load_fd[@]}"; do eval "exec $fd>&-"; done
        exec "$bin/sockscope_loadgen" "$2" "$3" <"$fifo" >"$out" 2>"$err"
    ) &
    load_pid[$name]=$!
    local fd
    exec {fd}>"$fifo"
    load_fd[$name]=$fd
    # The generator bounds its own setup (30 s + 2 ms per connection + 10 ms
    # per idle process); this bound only guards against a hang.
    local deadline=$((SECONDS + 60 + $2 / 250 + $3 / 50))
    until grep -q '^ready' "$out" 2>/dev/null; do
        if ! kill -0 "${load_pid[$name]}" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
            echo "load '$name' ($2 connections, $3 idle processes) did not start:" >&2
            cat "$err" >&2
            stop_load "$name"
            exit 1
        fi
        sleep 0.05
    done
    read -r _ load_rows load_holders <"$out"
}

# stop_load NAME: ends the load and waits until every child is reaped.
stop_load() {
    local name=$1
    [ -n "${load_pid[$name]:-}" ] || return 0
    eval "exec ${load_fd[$name]}>&-"
    wait "${load_pid[$name]}" 2>/dev/null || true
    unset "load_pid[$name]" "load_fd[$name]"
    rm -f "$work/load-$name.in"
}

stop_all_loads() {
    local name
    for name in "${!load_pid[@]}"; do
        kill -TERM "${load_pid[$name]}" 2>/dev/null || true
        stop_load "$name"
    done
}

# The load generator refuses what it can't do with a reason and status 1,
# and kills and reaps every child it started, also when setup fails after
# some children are up. Run as a user id nobody else uses, so that the
# process limit (RLIMIT_NPROC) and the open-file limit hold for it and
# pgrep can tell whether anything was left behind.
check_load_failures() {
    local uid=54321 status
    local as_stranger=(setpriv --reuid=$uid --regid=$uid --clear-groups)
    expect_failure() { # pattern command...
        local pattern=$1
        shift
        status=0
        "$@" </dev/null >/dev/null 2>"$work/loadgen-check.err" || status=$?
        if [ "$status" -ne 1 ] || ! grep -q "$pattern" "$work/loadgen-check.err"; then
            echo "load generator self-check failed: '$*' gave status $status:" >&2
            cat "$work/loadgen-check.err" >&2
            exit 1
        fi
    }
    # More than the machine holds: refused before any child starts.
    expect_failure "the load needs" "$bin/sockscope_loadgen" 999999999
    if [ "$(id -u)" -ne 0 ] || ! "${as_stranger[@]}" test -x "$bin/sockscope_loadgen"; then
        echo "(load generator checks under another user skipped: not root, or the build is not readable to others)"
        return 0
    fi
    # Two idle children start, the third fork fails.
    expect_failure "fork failed" "${as_stranger[@]}" prlimit --nproc=3 "$bin/sockscope_loadgen" 10 4
    # Idle children start, then a holder can't open its sockets.
    expect_failure "Too many open files" "${as_stranger[@]}" prlimit --nofile=32:32 "$bin/sockscope_loadgen" 100 2
    sleep 0.2
    if pgrep -U $uid >/dev/null; then
        echo "load generator self-check: processes left behind:" >&2
        pgrep -a -U $uid >&2
        exit 1
    fi
}

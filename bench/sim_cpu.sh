#!/usr/bin/env bash
# Benchmark: what the simulated handheld itself costs. Runs --handhelds N
# copies of qz4sim (default 1) at once, each paced at 115200 bit/s under
# /usr/bin/time with a kelvane of its own, and measures from the CPU time of
# all of a simulator's threads (/proc/PID/task/*/schedstat, in nanoseconds):
#   - an idle receiver: the device-side loader started with nothing sent,
#     from one NAK to the next, which is one time-out of 5,000,000 empty
#     polls (--idle-timeouts of them, default 1): CPU per empty poll and the
#     time-out's wall time as the host sees it;
#   - paced transfers: kelvane -X sending an image of --size bytes (default
#     1 MiB) --repeats times (default 1): the simulator's CPU per transfer and
#     as a share of the receiver's run time from the simulator's report.
# A simulator's whole life (the loader upload included) comes from /usr/bin/time.
# Prints a Markdown table on standard output; logs stay in build-bench/sim-cpu/.
#
#   bash bench/sim_cpu.sh [--handhelds N] [--size BYTES] [--repeats N] [--idle-timeouts N]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

BAUD=$BENCH_BAUD
POLLS_PER_TIMEOUT=5000000  # RX_POLL_LIMIT in firmware/loader.h
TARGET=romdisk
MONITOR_PATIENCE=10        # seconds to wait for the handheld
NAK=$'\x15'
EOT=$'\x04'

handhelds=1
size=1048576
repeats=1
idle_timeouts=1
bench_options "handhelds size repeats idle_timeouts" "$@"

command -v /usr/bin/time >/dev/null || { echo "bench: /usr/bin/time is missing (bash scripts/install-deps.sh)" >&2; exit 1; }
bench_build

out=$BENCH_BUILD/sim-cpu
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
cleanup() {
    local f
    for f in "$work"/*/sim.pid; do [ -e "$f" ] && kill "$(cat "$f")" 2>/dev/null; done
    wait
    rm -rf "$work"
}
trap cleanup EXIT

"$qz4sim" --make-image "$work/tiny.img" 1024 1
"$qz4sim" --make-image "$work/image.img" "$size" 2

# One handheld from start to end; everything it writes goes to $out/N/.
handheld() {
    local n=$1
    local dir=$work/$n log=$out/$n
    mkdir -p "$dir" "$log"
    /usr/bin/time -f "%e %U %S %M" -o "$log/time.txt" \
        "$qz4sim" --flash "$dir/flash.bin" --report "$dir/report.txt" --baud "$BAUD" >"$dir/sim.env" 2>"$log/sim.log" &
    local time_pid=$!
    local port
    port=$(qz4sim_port "$dir/sim.env")
    [ -n "$port" ] || { echo "bench: handheld $n did not start" >&2; return 1; }
    local sim_pid
    sim_pid=$(pgrep -P "$time_pid" -x qz4sim)
    echo "$sim_pid" >"$dir/sim.pid"
    local tty=/dev/$port

    # CPU time of every thread of the simulator so far, in nanoseconds.
    sim_cpu_ns() { cat /proc/"$sim_pid"/task/*/schedstat | awk '{ s += $1 } END { printf "%.0f", s }'; }
    fresh_report() { qz4sim_fresh_report "$dir/report.txt" "$sim_pid" || { echo "bench: no report from handheld $n" >&2; return 1; }; }
    # The simulator's CPU so far after each step, for the log.
    mark() { echo "$1 $(sim_cpu_ns)" >>"$log/marks.txt"; }
    # Reads from descriptor 3 until the text read ends with $1.
    wait_for() {
        local want=$1 text="" c deadline=$((SECONDS + MONITOR_PATIENCE))
        while [ "$SECONDS" -lt "$deadline" ]; do
            IFS= read -r -t 1 -N 1 -u 3 c || continue
            text+=$c
            [[ "$text" == *"$want" ]] && return 0
        done
        echo "bench: handheld $n did not answer" >&2
        return 1
    }

    # The first run uploads the loader, which later runs find in RAM.
    "$kelvane" -s "$port" "$work/tiny.img" "$TARGET" 2>"$log/kelvane-upload.log" ||
        { echo "bench: kelvane failed; see $log/kelvane-upload.log" >&2; return 1; }
    mark upload

    stty -F "$tty" raw -echo "$BAUD"
    exec 3<>"$tty"
    printf '%s\r' "$START_RECEIVER" >&3
    wait_for "$NAK"
    # The time right after each NAK was read (EPOCHREALTIME: no fork in between), in microseconds.
    local t t_prev=${EPOCHREALTIME/./} cpu cpu_prev
    cpu_prev=$(sim_cpu_ns)
    for i in $(seq "$idle_timeouts"); do
        wait_for "$NAK"
        t=${EPOCHREALTIME/./}
        cpu=$(sim_cpu_ns)
        echo "$n idle-$i $(((t - t_prev) * 1000)) $((cpu - cpu_prev))" >>"$log/idle.txt"
        t_prev=$t
        cpu_prev=$cpu
    done
    printf '%s' "$EOT" >&3  # the receiver ends at once and returns to the monitor
    wait_for "PMON> "
    exec 3>&-
    mark idle

    for i in $(seq "$repeats"); do
        cpu_prev=$(sim_cpu_ns)
        "$kelvane" -s "$port" -X "$work/image.img" "$TARGET" 2>"$log/kelvane-$i.log" ||
            { echo "bench: kelvane failed; see $log/kelvane-$i.log" >&2; return 1; }
        cpu=$(sim_cpu_ns)
        local run
        run=$(fresh_report | sed -n 's/^program run: \([0-9]*\) packets accepted, \([0-9.]*\) s$/\1 \2/p' | tail -n 1)
        echo "$n transfer-$i $run $((cpu - cpu_prev))" >>"$log/transfer.txt"
        mark "transfer-$i"
    done
    fresh_report >"$log/report.txt"
    mark end
    kill "$sim_pid"
    wait "$time_pid" || true
    rm -f "$dir/sim.pid"
}

load_before=$(load_average)
echo "bench: $handhelds handheld(s): $idle_timeouts idle time-out(s), then $repeats transfer(s) of $size bytes" >&2
pids=()
for n in $(seq "$handhelds"); do
    handheld "$n" &
    pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
[ "$failed" -eq 0 ] || { echo "bench: a handheld failed" >&2; exit 1; }

{
    echo "$handhelds qz4sim at once at $BAUD bit/s, $(date -u '+%Y-%m-%d %H:%M UTC'), $(machine), load average $load_before before and $(load_average) after"
    echo
    echo "| handheld | measurement | wall (s) | qz4sim CPU (s) | CPU / wall | per unit |"
    echo "|---|---|---|---|---|---|"
    for n in $(seq "$handhelds"); do
        awk -v polls="$POLLS_PER_TIMEOUT" '{ w = $3 / 1e9; c = $4 / 1e9
            printf "| %d | %s: one time-out, %d empty polls | %.3f | %.3f | %.1f %% | %.1f ns CPU per poll |\n", $1, $2, polls, w, c, 100 * c / w, $4 / polls }' "$out/$n/idle.txt"
        awk -v size="$size" '{ c = $5 / 1e9
            printf "| %d | %s: %d bytes, %d packets | %.3f | %.3f | %.1f %% | %.3f s CPU per MiB |\n", $1, $2, size, $3, $4, c, 100 * c / $4, c / (size / 1048576) }' "$out/$n/transfer.txt"
        read -r wall user sys rss <"$out/$n/time.txt"
        echo "| $n | whole life (/usr/bin/time) | $wall | $(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }') | $(awk -v u="$user" -v s="$sys" -v w="$wall" 'BEGIN { printf "%.1f %%", 100 * (u + s) / w }') | peak RSS $rss KiB |"
    done
} | tee "$out/table.md"

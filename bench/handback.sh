#!/usr/bin/env bash
# Benchmark of a run that ends while the handheld's receiver runs: how long
# from the end (SIGTERM sent, or the fatal message printed after every packet
# came damaged) until kelvane has exited, and until the simulated handheld's
# receiver is back at the monitor, at 115200 bit/s and with -b 921600, on a
# line paced at 115200. Also the packet bytes the monitor read as commands
# (must be 0). The times are polled every 10 ms or so. Prints a Markdown
# table; raw logs stay in build-bench/handback-results/.
#
#   bash bench/handback.sh [--repeats N]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

repeats=3
bench_options "repeats" "$@"

bench_build

bench_session handback-results
"$qz4sim" --make-image "$work/image" 200000 3

since() { awk -v s="$1" -v e="$2" 'BEGIN { printf "%.3f", e - s }'; }

# measure LABEL HOW RATE_ARGS...: HOW is "signal" (SIGTERM a second into the
# transfer; a background job ignores SIGINT) or "failure" (every packet
# damaged: the resends run out).
measure() {
    local label=$1 how=$2
    shift 2
    local faults=()
    [ "$how" = failure ] && faults=(--rx-corrupt 0.05 --seed 3)
    rm -f "$work/flash.bin"
    "$qz4sim" --flash "$work/flash.bin" --report "$work/report.txt" --baud 115200 "${faults[@]}" \
        >"$work/sim.env" 2>"$out/sim-$label.log" &
    sim_pid=$!
    local port
    port=$(qz4sim_port "$work/sim.env")
    [ -n "$port" ] || { echo "bench: the simulated handheld did not start" >&2; exit 1; }
    local err=$out/kelvane-$label.log
    "$kelvane" -s "$port" "$@" "$work/image" kernel 2>"$err" &
    local run_pid=$! ended=""
    while [ -z "$ended" ]; do
        local alive=yes
        kill -0 "$run_pid" 2>/dev/null || alive=no
        if [ "$how" = signal ] && grep -q 'Starting xmodem send' "$err"; then
            sleep 1
            kill -TERM "$run_pid"
            ended=$(now)
        elif [ "$how" = failure ] && grep -q '^Error:' "$err"; then
            ended=$(now)
        elif [ "$alive" = no ]; then
            echo "bench: $label ended early; see $err" >&2
            exit 1
        fi
        sleep 0.005
    done
    wait "$run_pid" || true
    local exited back report
    exited=$(now)
    for _ in $(seq 3000); do
        report=$(qz4sim_fresh_report "$work/report.txt" "$sim_pid") || true
        grep -q '^programs: 1 started, 1 returned' <<<"$report" && break
    done
    back=$(now)
    echo "$report" >"$out/report-$label.txt"
    kill "$sim_pid"
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
    local at_monitor
    at_monitor=$(sed -n 's/^monitor: \([0-9]*\) packet bytes read as commands$/\1/p' <<<"$report")
    echo "| $label | $(since "$ended" "$exited") | $(since "$ended" "$back") | $at_monitor |"
}

echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| end of the run | kelvane exited after (s) | receiver back at the monitor after (s) | packet bytes at the monitor |"
echo "|---|---|---|---|"
for r in $(seq "$repeats"); do
    measure "SIGTERM at 115200 ($r)" signal
    measure "SIGTERM with -b 921600 ($r)" signal -b 921600
    measure "resends spent at 115200 ($r)" failure
    measure "resends spent with -b 921600 ($r)" failure -b 921600
done
echo
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

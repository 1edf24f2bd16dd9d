#!/usr/bin/env bash
# Benchmark of the fast line: the same 4 MiB image flashed by kelvane at
# 115200 bit/s and with -b 921600, against one simulated handheld paced at
# 115200 bit/s (its pace follows the UART divisor the loader sets), and the
# fixed cost that the negotiation adds to a job (a 1 KiB image, with and
# without -b). Prints Markdown tables; raw logs stay in
# build-bench/fast-line-results/.
#
#   bash bench/fast_line.sh [--size BYTES] [--repeats N] [--tiny-repeats N]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/qz4sim-port.sh
export LC_ALL=C

FAST=921600
size=4194304
repeats=1
tiny_repeats=3
while [ $# -gt 0 ]; do
    case "$1" in
    --size) size=$2; shift 2 ;;
    --repeats) repeats=$2; shift 2 ;;
    --tiny-repeats) tiny_repeats=$2; shift 2 ;;
    *) echo "usage: bash bench/fast_line.sh [--size BYTES] [--repeats N] [--tiny-repeats N]" >&2; exit 2 ;;
    esac
done

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKELVANE_SANITIZE=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j2 --target kelvane qz4sim >/dev/null
kelvane=$PWD/build-bench/src/kelvane
qz4sim=$PWD/build-bench/sim/qz4sim

out=$PWD/build-bench/fast-line-results
rm -rf "$out"
mkdir -p "$out"
qz4sim_session

"$qz4sim" --make-image "$work/big.img" "$size" 2
"$qz4sim" --make-image "$work/tiny.img" 1024 1
"$qz4sim" --flash "$work/flash.bin" --report "$work/report.txt" --baud 115200 >"$work/sim.env" 2>"$out/sim.log" &
sim_pid=$!
port=$(qz4sim_port "$work/sim.env")
[ -n "$port" ] || { echo "bench: the simulated handheld did not start" >&2; exit 1; }

fresh_report() { qz4sim_fresh_report "$work/report.txt" "$sim_pid" || { echo "bench: no report from the simulator" >&2; exit 1; }; }

# Seconds of the last program started with "g -e": from its start to its return.
last_program_seconds() { sed -n 's/^program run: [0-9]* packets accepted, \([0-9.]*\) s$/\1/p' | tail -n 1; }

# run LABEL ARGS...: one whole kelvane run; prints "wall program_seconds".
run() {
    local label=$1
    shift
    local start end
    start=$(date +%s.%N)
    if ! "$kelvane" -s "$port" "$@" 2>"$out/kelvane-$label.log"; then
        echo "bench: kelvane failed ($label); see $out/kelvane-$label.log" >&2
        exit 1
    fi
    end=$(date +%s.%N)
    if grep -q '^Notice:' "$out/kelvane-$label.log"; then
        echo "bench: $label fell back to 115200; see $out/kelvane-$label.log" >&2
        exit 1
    fi
    fresh_report >"$out/report-$label.txt"
    echo "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') $(last_program_seconds <"$out/report-$label.txt")"
}

# The receiver stores whole 128-byte packets, the last one filled.
stored=$(( (size / 128 + 1) * 128 ))
# Ideal payload rates: 10 bits a byte; 128-byte packets cost 132 + ACK, 1K packets 1029 + ACK.
ideal_slow=$(awk 'BEGIN { printf "%.1f", 11520 * 128 / 133 }')
ideal_fast=$(awk -v f="$FAST" 'BEGIN { printf "%.1f", f / 10 * 1024 / 1030 }')

echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| image | run | rate | program time (s) | payload B/s | / XMODEM ideal at that rate | fast / 115200 |"
echo "|---|---|---|---|---|---|---|"
for r in $(seq "$repeats"); do
    read -r _ slow_t < <(run "slow-$r" "$work/big.img" romdisk)
    read -r _ fast_t < <(run "fast-$r" -b "$FAST" "$work/big.img" romdisk)
    slow_bps=$(awk -v b="$stored" -v t="$slow_t" 'BEGIN { printf "%.0f", b / t }')
    fast_bps=$(awk -v b="$stored" -v t="$fast_t" 'BEGIN { printf "%.0f", b / t }')
    echo "| $size | $r | 115200 | $slow_t | $slow_bps | $(awk -v a="$slow_bps" -v i="$ideal_slow" 'BEGIN { printf "%.4f", a / i }') (of $ideal_slow) | |"
    echo "| $size | $r | $FAST | $fast_t | $fast_bps | $(awk -v a="$fast_bps" -v i="$ideal_fast" 'BEGIN { printf "%.4f", a / i }') (of $ideal_fast) | $(awk -v f="$fast_bps" -v s="$slow_bps" 'BEGIN { printf "%.2f", f / s }') |"
done

echo
echo "| job | run | wall (s) | program time (s) |"
echo "|---|---|---|---|"
for r in $(seq "$tiny_repeats"); do
    read -r w t < <(run "tiny-slow-$r" "$work/tiny.img" romdisk)
    echo "| 1 KiB at 115200 | $r | $w | $t |"
    read -r w t < <(run "tiny-fast-$r" -b "$FAST" "$work/tiny.img" romdisk)
    echo "| 1 KiB with -b $FAST | $r | $w | $t |"
done
echo
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

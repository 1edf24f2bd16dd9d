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
source bench/common.sh

FAST=921600
size=4194304
repeats=1
tiny_repeats=3
bench_options "size repeats tiny_repeats" "$@"

bench_build

bench_session fast-line-results

"$qz4sim" --make-image "$work/big.img" "$size" 2
"$qz4sim" --make-image "$work/tiny.img" 1024 1
bench_start_sim "$out/sim.log"

# Seconds of the last program started with "g -e": from its start to its return.
last_program_seconds() { last_program_run | cut -d' ' -f2; }

# run LABEL ARGS...: one whole kelvane run; prints "wall program_seconds".
run() {
    local label=$1
    shift
    local start
    start=$(now)
    if ! "$kelvane" -s "$port" "$@" 2>"$out/kelvane-$label.log"; then
        echo "bench: kelvane failed ($label); see $out/kelvane-$label.log" >&2
        exit 1
    fi
    local wall
    wall=$(seconds_since "$start")
    if grep -q '^Notice:' "$out/kelvane-$label.log"; then
        echo "bench: $label fell back to 115200; see $out/kelvane-$label.log" >&2
        exit 1
    fi
    fresh_report >"$out/report-$label.txt"
    echo "$wall $(last_program_seconds <"$out/report-$label.txt")"
}

# The receiver stores whole 128-byte packets, the last one filled.
stored=$(( (size / 128 + 1) * 128 ))
# Ideal payload rates: 10 bits a byte; 128-byte packets cost 132 + ACK, 1K packets 1029 + ACK.
ideal_slow=$(awk -v b="$BENCH_BAUD" -v d="$PACKET_DATA" -v w="$PACKET_WIRE" 'BEGIN { printf "%.1f", b / 10 * d / w }')
ideal_fast=$(awk -v f="$FAST" -v d="$LONG_PACKET_DATA" -v w="$LONG_PACKET_WIRE" 'BEGIN { printf "%.1f", f / 10 * d / w }')

echo "Load average before: $(load_average)"
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
echo "Load average after: $(load_average)"

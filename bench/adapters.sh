#!/usr/bin/env bash
# Benchmark: the same image (default 4 MiB) flashed by kelvane at 115200 bit/s
# and with -b 921600, through a USB serial adapter's latency timer as qz4sim
# models it (--adapter-latency: the handheld's bytes reach the host in bursts,
# a latency after the first byte held or at 62 bytes). One simulated handheld
# paced at 115200 bit/s per latency; every run uploads the loader (-b needs
# it). The time is the simulator's "program run" line: the receiver from its
# start to its return. The ideal is the protocol's on the line alone: 128 of
# every 133 bytes at 115200, 1024 of every 1030 at 921600; with the latency
# added to every packet, the last column's share of it at best. Prints one
# Markdown table; logs stay in build-bench/adapter-results/. About 35 minutes
# for the defaults, most of it at 16 ms and 115200.
#
#   bash bench/adapters.sh [--size BYTES] [--latencies "0 1 16"]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

FAST=921600
size=4194304
latencies="0 1 16"
bench_options "size latencies" "$@"

bench_build
out=$BENCH_BUILD/adapter-results
rm -rf "$out"
mkdir -p "$out"
qz4sim_session
"$qz4sim" --make-image "$work/image.img" "$size" 2

# The receiver stores whole 128-byte packets, the last one filled.
stored=$(( (size / PACKET_DATA + 1) * PACKET_DATA ))

echo "$size bytes through a USB adapter's latency, $(date -u '+%Y-%m-%d %H:%M UTC'), $(machine), load average $(load_average) before"
echo
echo "| rate | adapter latency (ms) | program time (s) | payload B/s | XMODEM ideal (B/s) | / ideal | bytes lost to overrun | bound with the latency |"
echo "|---|---|---|---|---|---|---|---|"
for latency in $latencies; do
    bench_start_sim "$out/sim-$latency.log" --adapter-latency "$latency"
    for rate in "$BENCH_BAUD" "$FAST"; do
        label=$rate-$latency
        args=("$work/image.img" romdisk)
        data=$PACKET_DATA wire=$PACKET_WIRE
        if [ "$rate" != "$BENCH_BAUD" ]; then
            args=(-b "$rate" "${args[@]}")
            data=$LONG_PACKET_DATA wire=$LONG_PACKET_WIRE
        fi
        if ! "$kelvane" -s "$port" "${args[@]}" 2>"$out/kelvane-$label.log"; then
            echo "bench: kelvane failed ($label); see $out/kelvane-$label.log" >&2
            exit 1
        fi
        fresh_report >"$out/report-$label.txt"
        shown=$rate
        grep -q '^Notice:' "$out/kelvane-$label.log" && shown="$rate (fell back to $BENCH_BAUD)"
        seconds=$(last_program_run <"$out/report-$label.txt" | cut -d' ' -f2)
        lost=$(overrun_bytes <"$out/report-$label.txt")
        awk -v r="$shown" -v l="$latency" -v t="$seconds" -v s="$stored" -v rate="$rate" -v d="$data" -v w="$wire" -v lost="$lost" 'BEGIN {
            bps = s / t; ideal = rate / 10 * d / w
            packet = w * 10 / rate; bound = packet / (packet + l / 1000)
            printf "| %s | %s | %.3f | %.0f | %.0f | %.4f | %s | %.3f |\n", r, l, t, bps, ideal, bps / ideal, lost, bound }'
    done
    bench_stop_sim
done
echo
echo "Load average after: $(load_average)"

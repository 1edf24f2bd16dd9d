#!/usr/bin/env bash
# Benchmark: the same image (default 4 MiB) flashed by kelvane at 115200 bit/s
# (stop-and-wait XMODEM), and streamed with -b 115200 and -b 921600, through a
# USB serial adapter's latency timer as qz4sim models it (--adapter-latency:
# the handheld's bytes reach the host in bursts, a latency after the first
# byte held or at 62 bytes). One simulated handheld paced at 115200 bit/s per
# latency; every run uploads the loader (-b needs it, and its second stage).
# The time is the simulator's "program run" line: the receiver from its start
# to its return, the fast line's negotiation and the CRC line included. Two
# yardsticks: the line's byte rate (10 bits a byte: 11,520 B/s at 115200,
# 92,160 at 921600), and the protocol's best on the line alone (128 of every
# 133 bytes stop-and-wait; 1024 of every 1031 streamed); for stop-and-wait
# the last column gives the share of it left with the latency added to every
# packet. The last column is the simulator's "stream:" line for the run: the
# receiver's NAKs and what crossed the line beyond what it stored (0 for a
# plain run). Prints one Markdown table; logs stay in build-bench/adapter-results/.
# About 35 minutes for the defaults, most of it at 16 ms and 115200.
#
#   bash bench/adapters.sh [--size BYTES] [--latencies "0 1 16"] [--modes "plain stream115200 stream921600"]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

FAST=921600
size=4194304
latencies="0 1 16"
modes="plain stream115200 stream921600"
bench_options "size latencies modes" "$@"

bench_build
bench_session adapter-results
"$qz4sim" --make-image "$work/image.img" "$size" 2

# The receiver stores whole 128-byte packets, the last one filled.
stored=$(( (size / PACKET_DATA + 1) * PACKET_DATA ))

echo "$size bytes through a USB adapter's latency, $(date -u '+%Y-%m-%d %H:%M UTC'), $(machine), load average $(load_average) before"
echo
echo "| rate | adapter latency (ms) | program time (s) | payload B/s | / line's byte rate | protocol's best (B/s) | / best | bytes lost to overrun | stop-and-wait bound with the latency | stream |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for latency in $latencies; do
    bench_start_sim "$out/sim-$latency.log" --adapter-latency "$latency"
    stream_before=""
    for mode in $modes; do
        args=("$work/image.img" romdisk)
        case $mode in
            plain) rate=$BENCH_BAUD data=$PACKET_DATA wire=$PACKET_WIRE ;;
            stream115200) rate=$BENCH_BAUD data=$LONG_PACKET_DATA wire=$STREAM_PACKET_WIRE ;;
            stream921600) rate=$FAST data=$LONG_PACKET_DATA wire=$STREAM_PACKET_WIRE ;;
            *) echo "bench: unknown mode $mode" >&2; exit 2 ;;
        esac
        [ "$mode" = plain ] || args=(-b "$rate" "${args[@]}")
        label=$mode-$latency
        if ! "$kelvane" -s "$port" "${args[@]}" 2>"$out/kelvane-$label.log"; then
            echo "bench: kelvane failed ($label); see $out/kelvane-$label.log" >&2
            exit 1
        fi
        fresh_report >"$out/report-$label.txt"
        shown=$rate
        [ "$mode" = plain ] || shown="-b $rate, streamed"
        grep -q '^Notice:' "$out/kelvane-$label.log" && shown="$shown (fell back to $BENCH_BAUD)"
        seconds=$(last_program_run <"$out/report-$label.txt" | cut -d' ' -f2)
        lost=$(overrun_bytes <"$out/report-$label.txt")
        # The report sums the simulator's whole run: this run's share is the difference.
        stream_now=$(stream_figures <"$out/report-$label.txt")
        stream=$(stream_cell "$stream_before" "$stream_now")
        stream_before=$stream_now
        awk -v r="$shown" -v l="$latency" -v t="$seconds" -v s="$stored" -v rate="$rate" -v d="$data" -v w="$wire" -v lost="$lost" -v m="$mode" -v st="$stream" 'BEGIN {
            bps = s / t; line = rate / 10; ideal = line * d / w
            packet = w * 10 / rate; bound = m == "plain" ? sprintf("%.3f", packet / (packet + l / 1000)) : "-"
            printf "| %s | %s | %.3f | %.0f | %.4f | %.0f | %.4f | %s | %s | %s |\n", r, l, t, bps, bps / line, ideal, bps / ideal, lost, bound, st }'
    done
    bench_stop_sim
done
echo
echo "Load average after: $(load_average)"

#!/usr/bin/env bash
# Benchmark: a whole job as a user meets it. A 2 MiB kernel and a 7 MB root
# filesystem (which kelvane splits into pieces) flashed with -b 921600 and -V
# into a handheld paced at 115200 bit/s whose flash takes --block-ms per
# 128 KiB block, through a USB adapter's latency (--adapter-latency). Each
# phase is timed from kelvane's own lines as they arrive, each against what
# the line (or the flash) allows at best:
#   upload       "Sending etxack start command...done" to the end of
#                "Starting etxack send (xmodem-load)...done"; the limit is
#                the S-records' characters at 115200 bit/s
#   transfer     each "Sending xmodem start command...done" to the end of its
#                "Elapsed time" line; the limit is the bytes stored at the
#                fast line's byte rate (92,160 B/s at 921600)
#   programming  each "Sending flash command...done" to the end of its
#                "Elapsed time" line; the limit is block-ms per block
#   verify       from there to the end of "Verifying flash...done"
# Prints one Markdown table, then the simulator's "stream:" line (the
# receiver's NAKs, and what crossed the line beyond what it stored); logs stay
# in build-bench/whole-job-results/.
# --kelvane runs another build (an older one, for a "before" row).
#
#   bash bench/whole_job.sh [--rate 921600] [--block-ms 1000] [--latency 16] [--kelvane PATH] [--label NAME]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

rate=921600
block_ms=1000
latency=16
kelvane=""
label=this
bench_options "rate block-ms latency kelvane label" "$@"
kelvane_path=$kelvane

KERNEL_SIZE=$((2 * 1024 * 1024 - 4096))  # a kernel just under its 2 MiB place
ROOTFS_SIZE=7000000                      # 7 MB: split into pieces
SREC_CHARS=$(awk '{ n += length($0) - 3 + 1 } END { print n }' src/transfer/loader_srec.inc src/transfer/stream_srec.inc)

bench_build
[ -n "$kelvane_path" ] && kelvane=$kelvane_path
out=$BENCH_BUILD/whole-job-results
mkdir -p "$out"
qz4sim_session
"$qz4sim" --make-image "$work/vmlinux" "$KERNEL_SIZE" 3
"$qz4sim" --make-image "$work/rootfs.img" "$ROOTFS_SIZE" 4

echo "Whole job ($label): a $KERNEL_SIZE-byte kernel and a $ROOTFS_SIZE-byte root filesystem, -b $rate -V," \
     "block $block_ms ms, adapter latency $latency ms, $(date -u '+%Y-%m-%d %H:%M UTC'), $(machine)," \
     "load average $(load_average) before"
echo
echo "| build | phase | time (s) | limit (s) | limit / time |"
echo "|---|---|---|---|---|"
bench_start_sim "$out/sim-$label.log" --adapter-latency "$latency" --block-ms "$block_ms"
start=$(now)
# Each line of kelvane's standard error with the time its end arrived.
"$kelvane" -s "$port" -t "$work" -b "$rate" -V "$work/vmlinux" kernel "$work/rootfs.img" romdisk 2>&1 |
    while IFS= read -r line; do printf '%s %s\n' "$(now)" "$line"; done >"$out/kelvane-$label.log"
wall=$(seconds_since "$start")
fresh_report >"$out/report-$label.txt"
bench_stop_sim
grep -q 'Verifying flash' "$out/kelvane-$label.log" || { echo "bench: the run failed; see $out/kelvane-$label.log" >&2; exit 1; }

awk -v rate="$rate" -v block_ms="$block_ms" -v srec="$SREC_CHARS" -v wall="$wall" \
    -v kernel="$KERNEL_SIZE" -v rootfs="$ROOTFS_SIZE" -v label="$label" -v load="$(load_average)" '
    { t = $1; sub(/^[^ ]* /, "") }
    /Sending etxack start command\.\.\.done/ { up0 = t }
    /Starting etxack send .*\.\.\.done/ { upload = t - up0 }
    /Sending xmodem start command\.\.\.done/ { x0 = t; phase = "transfer" }
    /Sending flash command\.\.\.done/ { f0 = t; phase = "programming"; jobs++ }
    /Elapsed time/ { if (phase == "transfer") transfer += t - x0; else if (phase == "programming") { programming += t - f0; v0 = t }; phase = "" }
    /Verifying flash\.\.\.done/ { verify += t - v0 }
    END {
        line = rate / 10
        # The images as the receiver stores them: the kernel, and the root filesystem in pieces of whole blocks.
        bytes = kernel + rootfs
        blocks = int((kernel + 131071) / 131072) + int((rootfs + 131071) / 131072)
        printf "| %s | upload | %.2f | %.2f | %.3f |\n", label, upload, srec * 10 / 115200, srec * 10 / 115200 / upload
        printf "| %s | transfer (%d jobs) | %.2f | %.2f | %.3f |\n", label, jobs, transfer, bytes / line, bytes / line / transfer
        printf "| %s | programming | %.2f | %.2f | %.3f |\n", label, programming, blocks * block_ms / 1000, blocks * block_ms / 1000 / programming
        printf "| %s | verify | %.2f | - | - |\n", label, verify
        printf "| %s | whole run | %.2f | - | - |\n", label, wall
        printf "\nLoad average after: %s\n", load
    }' "$out/kelvane-$label.log"
# The simulator's stream line for the job (one simulator, this run only).
echo "Stream ($label): $(stream_cell "" "$(stream_figures <"$out/report-$label.txt")")"

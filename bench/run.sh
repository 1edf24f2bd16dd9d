#!/usr/bin/env bash
# Benchmark: kelvane against the simulated handheld on a line paced at
# 115200 bit/s (10 bits a byte), next to Debian's lrzsz sx sending the same
# images to the same device-side receiver. Prints three Markdown tables on
# standard output (throughput, host cost, fixed cost of a job) and keeps the
# raw figures in build-bench/bench-results/.
#
#   bash bench/run.sh [--sizes "65536 1048576 4194304"] [--repeats N]
#                     [--small-repeats N] [--tiny-repeats N]
#
# The transfer time is the simulator's own record of each program started
# with "g -e": from its start (it sends NAK at once) to its return, with the
# packets it accepted. Sizes up to 64 KiB run --small-repeats times (default
# 3), larger ones --repeats times (default 1); kelvane and sx alternate, image
# by image. A full round takes about 18 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

BAUD=$BENCH_BAUD
BYTE_SECONDS=$(awk -v b="$BAUD" 'BEGIN { printf "%.9f", 10 / b }')  # 8N1: 10 bits a byte
LINE_RATE=$((BAUD / 10))                                             # 11,520 B/s
SMALL_LIMIT=65536          # sizes up to this are cheap enough to repeat
TINY_SIZE=1024             # image of the fixed-cost runs
TARGET=romdisk             # takes every size here in one transfer (a kernel stops at 2 MiB)
# How long the line must stay quiet after a prompt before the script types.
PROMPT_QUIET=0.3
# How long to wait for the monitor when the script drives it itself.
MONITOR_PATIENCE=10

sizes="65536 1048576 4194304"
repeats=1
small_repeats=3
tiny_repeats=3
bench_options "sizes repeats small_repeats tiny_repeats" "$@"

bash scripts/install-deps.sh
for tool in sx /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (bash scripts/install-deps.sh)" >&2; exit 1; }
done
bench_build

bench_session bench-results
cleanup() {
    exec 3>&-
    qz4sim_session_end
}
trap cleanup EXIT

"$qz4sim" --make-image "$work/tiny.img" "$TINY_SIZE" 1
for size in $sizes; do "$qz4sim" --make-image "$work/$size.img" "$size" 2; done

bench_start_sim "$out/sim.log"

# Reads from descriptor 3 until the text ends with the prompt and the line has
# been quiet for PROMPT_QUIET seconds.
wait_prompt() {
    local text="" c deadline=$((SECONDS + MONITOR_PATIENCE))
    while [ "$SECONDS" -lt "$deadline" ]; do
        if IFS= read -r -t "$PROMPT_QUIET" -N 1 -u 3 c; then
            text+=$c
        elif [[ "$text" == *"PMON> " ]]; then
            return 0
        fi
    done
    echo "bench: no prompt from the monitor" >&2
    exit 1
}

# kelvane LABEL ARGS...: one whole run; appends "label wall user sys rss" to kelvane.txt.
run_kelvane() {
    local label=$1
    shift
    local start end
    start=$(date +%s.%N)
    if ! /usr/bin/time -f "%U %S %M" -o "$work/time.txt" "$kelvane" -s "$port" "$@" 2>"$out/kelvane-$label.log"; then
        echo "bench: kelvane failed ($label); see $out/kelvane-$label.log" >&2
        exit 1
    fi
    end=$(date +%s.%N)
    echo "$label $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') $(tail -n 1 "$work/time.txt")" >>"$out/kelvane.txt"
}

# sx FILE LABEL: drives the monitor by hand, starts the receiver already in
# RAM and lets sx send FILE; appends "label user sys rss" to sx.txt.
run_sx() {
    local file=$1 label=$2
    stty -F "$tty" raw -echo "$BAUD" crtscts
    exec 3<>"$tty"
    printf '\r' >&3
    wait_prompt
    # sx waits for the receiver's NAK and drops the echo of the command before it.
    /usr/bin/time -f "%U %S %M" -o "$work/sx-time.txt" sx -X "$file" <"$tty" >"$tty" 2>"$out/sx-$label.log" &
    local sx_pid=$!
    sleep 0.2
    printf '%s\r' "$START_RECEIVER" >&3
    if ! wait "$sx_pid"; then
        echo "bench: sx failed ($label); see $out/sx-$label.log" >&2
        exit 1
    fi
    wait_prompt  # the receiver's verdict and the monitor's prompt
    exec 3>&-
    echo "$label $(tail -n 1 "$work/sx-time.txt")" >>"$out/sx.txt"
}

# The fixed cost of one job: a tiny image, with the loader upload and with -X.
fixed() {
    local label=$1 quiet=$2
    shift 2
    local before after
    before=$(fresh_report | line_bytes)
    run_kelvane "$label" "$@"
    after=$(fresh_report | line_bytes)
    echo "$label $quiet $((after - before))" >>"$out/fixed.txt"
}
started=$(date -u '+%Y-%m-%d %H:%M UTC')
load_before=$(load_average)
echo "bench: simulated handheld on $tty at $BAUD bit/s; fixed cost of a job" >&2
for i in $(seq "$tiny_repeats"); do
    fixed "upload-$i" "$(awk -v a="$QUIET_JOB" -v b="$QUIET_UPLOAD" 'BEGIN { print a + b }')" "$work/tiny.img" "$TARGET"
done
for i in $(seq "$tiny_repeats"); do
    fixed "noupload-$i" "$QUIET_JOB" -X "$work/tiny.img" "$TARGET"
done

for size in $sizes; do
    n=$repeats
    [ "$size" -le "$SMALL_LIMIT" ] && n=$small_repeats
    for i in $(seq "$n"); do
        echo "bench: $size bytes, pair $i: kelvane, then sx" >&2
        run_kelvane "$size-$i" -X "$work/$size.img" "$TARGET"
        echo "$size-$i kelvane $(fresh_report | last_program_run)" >>"$out/runs.txt"
        run_sx "$work/$size.img" "$size-$i"
        echo "$size-$i sx $(fresh_report | last_program_run)" >>"$out/runs.txt"
    done
done
fresh_report >"$out/report.txt"

# Tables.
{
    echo "Run of $started to $(date -u '+%Y-%m-%d %H:%M UTC'): $(machine), load average $load_before before and $(load_average) after"
    echo
    echo "Throughput (payload = packets accepted x $PACKET_DATA bytes over the receiver's run time)"
    echo
    echo "| image | pair | sender | packets | time (s) | payload B/s | / $LINE_RATE B/s | / XMODEM-128 ideal | kelvane / sx |"
    echo "|---|---|---|---|---|---|---|---|---|"
    awk -v rate="$LINE_RATE" -v data="$PACKET_DATA" -v wire="$PACKET_WIRE" '
        { split($1, id, "-"); bps = $3 * data / $4; ideal = rate * data / wire
          row = sprintf("| %d | %d | %s | %d | %.3f | %.0f | %.4f | %.4f |", id[1], id[2], $2, $3, $4, bps, bps / rate, bps / ideal)
          if ($2 == "kelvane") { k = bps; print row " |" } else { print row sprintf(" %.4f |", k / bps) } }' "$out/runs.txt"
    echo
    echo "Host cost (kelvane for the whole run; sx for its transfer; CPU = user + system, 10 ms resolution)"
    echo
    echo "| image | pair | kelvane CPU (s) | CPU s per MiB | CPU / transfer time | peak RSS (KiB) | sx CPU (s) | sx CPU / transfer time | sx peak RSS (KiB) |"
    echo "|---|---|---|---|---|---|---|---|---|"
    join <(sort "$out/kelvane.txt") <(sort "$out/sx.txt") | join - <(awk '$2 == "kelvane" { print $1, $4 }' "$out/runs.txt" | sort) |
        join - <(awk '$2 == "sx" { print $1, $4 }' "$out/runs.txt" | sort) | sort -t- -k1,1n -k2,2n |
        awk '{ split($1, id, "-"); kc = $3 + $4; sc = $6 + $7
               printf "| %d | %d | %.2f | %.3f | %.2f %% | %d | %.2f | %.2f %% | %d |\n", id[1], id[2], kc, kc / (id[1] / 1048576),
                      100 * kc / $9, $5, sc, 100 * sc / $10, $8 }'
    echo
    echo "Fixed cost of one job ($TINY_SIZE-byte image; minimum = quiet times + bytes on the line x 10 bits / $BAUD)"
    echo
    echo "| run | wall (s) | quiet times (s) | bytes on the line | line time (s) | minimum (s) | beyond the minimum (s) |"
    echo "|---|---|---|---|---|---|---|"
    join <(sort "$out/fixed.txt") <(sort "$out/kelvane.txt") |
        awk -v byte="$BYTE_SECONDS" '{ line = $3 * byte; min = $2 + line
             printf "| %s | %.3f | %.1f | %d | %.3f | %.3f | %.3f |\n", $1, $4, $2, $3, line, min, $4 - min }'
} | tee "$out/tables.md"

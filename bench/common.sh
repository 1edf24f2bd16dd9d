# Sourced by every benchmark here, from the top of the tree: one build and one
# set-up for all of them.
#
# bench_build builds kelvane and qz4sim without sanitizers (they would cost the
# host far more than kelvane does) as RelWithDebInfo in build-bench, one build
# type for every script, so switching scripts rebuilds nothing; it sets
# $kelvane and $qz4sim. bench_start_sim starts a simulated handheld on a fresh
# flash in the scratch directory $work (scripts/qz4sim-port.sh's session, which
# stops it and removes $work on exit) and sets $sim_pid, $port and $tty.
# bench_options reads every script's switches the same way.
source scripts/qz4sim-port.sh
export LC_ALL=C  # one collation for sort and join, "." in every number

BENCH_BUILD=$PWD/build-bench
BENCH_BAUD=115200        # the monitor's rate; the line is paced at it
PACKET_DATA=128          # XMODEM payload per packet
PACKET_WIRE=133          # 132 bytes of packet plus the one-byte ACK
LONG_PACKET_DATA=1024    # the fast entry's packets...
LONG_PACKET_WIRE=1030    # ...1029 bytes on the line plus the ACK
STREAM_PACKET_WIRE=1031  # a streamed kilobyte at best: block, data, CRC-32, one COBS code, the delimiter
START_RECEIVER="g -e a0080274"
# Quiet times the dialogue itself requires (src/monitor/dialogue.cpp,
# src/serial/port.cpp): every prompt search is a drain ending 0.1 s after the
# monitor's last byte plus a line read ending 0.5 s after the prompt; a job
# searches the prompt three times (before the receiver, after the transfer,
# after the last job), drains after the flash command (0.1 s) and ends its
# programming watch on a prompt (0.5 s). The loader upload adds a drain after
# "load" and one more prompt search.
QUIET_JOB=$(awk 'BEGIN { print 3 * (0.1 + 0.5) + 0.1 + 0.5 }')      # 2.4 s
QUIET_UPLOAD=$(awk 'BEGIN { print 0.1 + (0.1 + 0.5) }')             # 0.7 s

bench_build() {
    cmake -S . -B "$BENCH_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_SANITIZE=OFF -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$BENCH_BUILD" -j2 --target kelvane qz4sim >/dev/null
    kelvane=$BENCH_BUILD/src/kelvane
    qz4sim=$BENCH_BUILD/sim/qz4sim
}

# bench_session NAME: an empty results directory $out (build-bench/NAME) and a
# qz4sim session ($work, and the handheld stopped on exit).
bench_session() {
    out=$BENCH_BUILD/$1
    rm -rf "$out"
    mkdir -p "$out"
    qz4sim_session
}

# bench_start_sim LOG [ARGS...]: a handheld paced at BENCH_BAUD on a fresh
# flash, with its report in $work/report.txt and its standard error in LOG.
bench_start_sim() {
    local log=$1
    shift
    rm -f "$work/flash.bin" "$work/report.txt" "$work/sim.env"
    "$qz4sim" --flash "$work/flash.bin" --report "$work/report.txt" --baud "$BENCH_BAUD" "$@" \
        >"$work/sim.env" 2>"$log" &
    sim_pid=$!
    port=$(qz4sim_port "$work/sim.env")
    [ -n "$port" ] || { echo "bench: the simulated handheld did not start" >&2; exit 1; }
    tty=/dev/$port
}

bench_stop_sim() {
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
}

# timed_kelvane STEP LOG [ARGS...]: runs kelvane with ARGS, its standard error
# into LOG, noting on standard output the seconds from each STEP it announces
# ("Verifying flash...", say) to the "done" that closes it.
timed_kelvane() {
    local step=$1 log=$2
    shift 2
    python3 - "$step" "$log" "$kelvane" "$@" <<'PY'
import subprocess, sys, time
step, log, argv = sys.argv[1], sys.argv[2], sys.argv[3:]
announce, close = step.encode(), b"done\n"
text, started = b"", None
with open(log, "wb") as keep:
    child = subprocess.Popen(argv, stderr=subprocess.PIPE)
    while True:
        byte = child.stderr.read(1)
        if not byte:
            break
        keep.write(byte)
        text += byte
        if started is None and text.endswith(announce):
            started = time.monotonic()
        elif started is not None and text.endswith(close):
            print("%.3f" % (time.monotonic() - started))
            started = None
sys.exit(child.wait())
PY
}

# A fresh report from the simulator (it writes one on SIGUSR1).
fresh_report() { qz4sim_fresh_report "$work/report.txt" "$sim_pid" || { echo "bench: no report from the simulator" >&2; exit 1; }; }

# "packets seconds" of the last program started with "g -e".
last_program_run() { sed -n 's/^program run: \([0-9]*\) packets accepted, \([0-9.]*\) s$/\1 \2/p' | tail -n 1; }

# "naks packets bytes" of the report's stream line (NAKs sent, packets and
# bytes received beyond those stored), summed over the simulator's run so far;
# nothing from a simulator that has no such line.
stream_figures() {
    sed -n 's/^stream: \([0-9]*\) NAKs sent, \(-*[0-9]*\) packets (\(-*[0-9]*\) bytes) received beyond those stored$/\1 \2 \3/p' |
        tail -n 1
}

# The stream line's figures since an earlier "naks packets bytes" (empty: the
# simulator's start), as a table cell.
stream_cell() {
    local before=${1:-0 0 0} now=$2
    [ -n "$now" ] || { echo "-"; return; }
    awk -v b="$before" -v n="$now" 'BEGIN {
        split(b, x, " "); split(n, y, " ")
        printf "%d NAKs, %d packets (%d bytes) beyond stored", y[1] - x[1], y[2] - x[2], y[3] - x[3] }'
}

# Bytes the line carried both ways so far.
line_bytes() { sed -n 's/^line: \([0-9]*\) bytes received, \([0-9]*\) sent.*/\1 \2/p' | awk '{ print $1 + $2 }'; }

# N of "uart: N bytes lost to overrun".
overrun_bytes() { sed -n 's/^uart: \([0-9]*\) bytes lost to overrun$/\1/p'; }

load_average() { cut -d' ' -f1-3 /proc/loadavg; }

# The machine, for the line above a table.
machine() {
    echo "$(nproc) cores ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)), Linux $(uname -r)"
}

now() { date +%s.%N; }
seconds_since() { awk -v s="$1" -v e="$(now)" 'BEGIN { printf "%.3f", e - s }'; }

# bench_options "NAME ..." "$@": each `--some-name VALUE` sets the variable
# some_name, for the names listed (the script sets their defaults first);
# anything else prints the usage and ends the script with status 2.
bench_options() {
    local names=$1 usage="usage: bash bench/$(basename "$0")" name
    shift
    for name in $names; do usage+=" [--${name//_/-} VALUE]"; done
    while [ $# -gt 0 ]; do
        name=${1#--}
        name=${name//-/_}
        case " $names " in
        *" $name "*) [ $# -ge 2 ] && [ "$1" = "--${name//_/-}" ] || { echo "$usage" >&2; exit 2; } ;;
        *) echo "$usage" >&2; exit 2 ;;
        esac
        printf -v "$name" '%s' "$2"
        shift 2
    done
}

# Sourced by the scripts that start qz4sim in the background with its standard
# output in a file: qz4sim_port FILE waits up to 10 s for the line
# QZ4SIM_PORT=pts/N and prints kelvane's -s value (nothing if it never came).
qz4sim_port() {
    local env_file=$1
    for _ in $(seq 100); do
        grep -q '^QZ4SIM_PORT=' "$env_file" 2>/dev/null && break
        sleep 0.1
    done
    sed -n 's/^QZ4SIM_PORT=//p' "$env_file"
}

# qz4sim_session: a scratch directory in $work; the simulator whose process id
# the script puts in $sim_pid is stopped, and the directory removed, on exit.
qz4sim_session() {
    work=$(mktemp -d)
    sim_pid=""
    trap qz4sim_session_end EXIT
}
qz4sim_session_end() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}

# qz4sim_fresh_report REPORT PID: asks the simulator PID for its report (it
# rewrites REPORT on SIGUSR1) and prints it; status 1 if none came in 5 s.
qz4sim_fresh_report() {
    local report=$1 pid=$2
    rm -f "$report"
    kill -USR1 "$pid"
    for _ in $(seq 250); do
        [ -s "$report" ] && { cat "$report"; return 0; }
        sleep 0.02
    done
    return 1
}

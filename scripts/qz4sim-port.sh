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

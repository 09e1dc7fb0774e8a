# Sourced by the benchmarks. tarrowd_port: waits (at most 5 s) for the tarrowd started in the
# current directory to log its listening line on 127.0.0.1, and prints the port it chose.
tarrowd_port() {
    _port=
    for _ in $(seq 100); do
        _port=$(sed -n "s/.*Server listening on port address '127.0.0.1:\([0-9]*\)'.*/\1/p" \
            log_*.log 2>/dev/null || true)
        [ -n "$_port" ] && break
        sleep 0.05
    done
    [ -n "$_port" ] || { echo "tarrowd did not start" >&2; return 1; }
    echo "$_port"
}

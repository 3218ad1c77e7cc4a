#!/bin/bash
# Measures atom_server against the limit of its design (bare_responder) and
# against redis-server, in one run inside a private network namespace, with
# the server on core 0 and the load on core 1. Every figure is measured in
# several interleaved rounds (atom_server, bare, redis, atom_server with a
# million atoms, then again), since a shared machine is noisy; the summary
# gives medians and the ratios the daemon aims at.
#
#   bench/compare.sh [rounds] [seconds per measurement]    (defaults 3 and 3)
#
# Builds the release preset first. The raw lines of every run are kept in
# build/release/bench/compare-<time>.log.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-3}
seconds=${2:-3}

if [ -z "${ATOM_COMPARE_IN_NETNS:-}" ]; then
    cmake --preset release >/dev/null
    cmake --build --preset release >/dev/null
    export ATOM_COMPARE_IN_NETNS=1
    exec "$root/tests/in_netns.sh" "$0" "$@"
fi

build=$root/build/release
# ATOM_SERVER names another build of the server to measure, such as a patched one.
server_bin=${ATOM_SERVER:-$build/atom_server}
bench_bin=$build/bench/atom_bench
bare_bin=$build/bench/bare_responder
log=$build/bench/compare-$(date +%Y%m%d-%H%M%S).log
: >"$log"

connections=32
small_keys=1000
large_keys=1000000
server_core=0
load_core=1
redis_bin=$(command -v redis-server || true)
redis_dir=$(mktemp -d)

server_pid=
stop_server() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=
    fi
}
trap 'stop_server; rm -rf "$redis_dir"' EXIT

# wait_bound tcp|udp PORT: waits (10 s at most) until the port is bound,
# for TCP in the listening state (0A).
wait_bound() {
    local pattern
    pattern=$(printf ':%04X ' "$2")
    [ "$1" = tcp ] && pattern="$pattern"'00000000:0000 0A'
    for _ in $(seq 200); do
        grep -q "$pattern" "/proc/net/$1" && return 0
        sleep 0.05
    done
    echo "nothing is bound to $1 port $2" >&2
    return 1
}

# CPU time (user + system, all threads) the server has used, in clock ticks.
# Divided by the requests answered it gives the server's cost per request,
# which other work on a shared machine disturbs far less than throughput.
cpu_ticks() {
    awk '{ print $14 + $15 }' "/proc/$1/stat"
}

resident_bytes() {
    awk '/^VmRSS:/ { print $2 * 1024 }' "/proc/$1/status"
}

start_atom_server() {
    # Its reports (a reset by the load tool as it exits) go to the log.
    taskset -c "$server_core" "$server_bin" -no_fork -quiet 2>>"$log.stderr" &
    server_pid=$!
    wait_bound udp 4444
    wait_bound tcp 4445
}

start_bare() {
    taskset -c "$server_core" "$bare_bin" 2>>"$log.stderr" &
    server_pid=$!
    wait_bound udp 4444
    wait_bound tcp 4445
}

start_redis() {
    taskset -c "$server_core" "$redis_bin" --port 6379 --bind 127.0.0.1 --save '' \
        --appendonly no --daemonize no --loglevel warning --dir "$redis_dir" \
        --logfile "$redis_dir/redis.log" &
    server_pid=$!
    wait_bound tcp 6379
}

# bench ROUND SYSTEM ARGS...: one measurement, its line kept in the log.
bench() {
    local round=$1 system=$2
    shift 2
    local line
    # A run with errors still gives its line; the errors column shows them.
    local ticks_before ticks_after
    ticks_before=$(cpu_ticks "$server_pid")
    line=$(taskset -c "$load_core" "$bench_bin" --label "$system" --limit 60 "$@" \
        2>>"$log.stderr") || true
    ticks_after=$(cpu_ticks "$server_pid")
    echo "round=$round $line server_ticks=$((ticks_after - ticks_before))" | tee -a "$log"
}

# load_atoms LABEL KEYS [ARGS...]: "atom:0".. into the server now running,
# pipelined over TCP in bounded batches, each confirmed by a lookup.
load_atoms() {
    taskset -c "$load_core" "$bench_bin" --label "$1" --transport tcp --workload load \
        --keys "$2" --connections 32 --depth 2 --limit 120 "${@:3}" 2>>"$log.stderr" |
        sed 's/^/    load: /' || echo "    load of $2 atoms into $1 did not complete; see $log.stderr"
}

measure() {
    bench "$@" --connections "$connections" --seconds "$seconds" --warmup 0.3
}

echo "compare: $rounds rounds of $seconds s per measurement, $connections connections; log $log"
for round in $(seq "$rounds"); do
    start_atom_server
    load_atoms atom_server "$small_keys"
    for transport in udp tcp; do
        for workload in ping lookup miss associate; do
            measure "$round" atom_server --transport "$transport" --workload "$workload" --keys "$small_keys"
        done
    done
    stop_server

    start_bare
    for transport in udp tcp; do
        measure "$round" bare --transport "$transport" --workload ping
    done
    stop_server

    if [ -n "$redis_bin" ]; then
        start_redis
        load_atoms redis "$small_keys" --protocol redis
        for workload in ping lookup miss associate; do
            measure "$round" redis --transport tcp --protocol redis --workload "$workload" --keys "$small_keys"
        done
        stop_server
    fi

    start_atom_server
    before=$(resident_bytes "$server_pid")
    load_atoms atom_server_1m "$large_keys"
    after=$(resident_bytes "$server_pid")
    echo "round=$round memory atom_server atoms=$large_keys rss_before=$before rss_after=$after" | tee -a "$log"
    for transport in udp tcp; do
        measure "$round" atom_server_1m --transport "$transport" --workload lookup --keys "$large_keys"
    done
    stop_server
done

# Memory of redis holding the same pairs, as two keys each; once is enough,
# resident size does not vary from run to run as throughput does.
if [ -n "$redis_bin" ]; then
    start_redis
    before=$(resident_bytes "$server_pid")
    load_atoms redis "$large_keys" --protocol redis
    after=$(resident_bytes "$server_pid")
    echo "round=1 memory redis atoms=$large_keys rss_before=$before rss_after=$after" | tee -a "$log"
    stop_server
fi

# The summary: medians over rounds, then the ratios.
awk -v redis_present="${redis_bin:+yes}" -v tick_us="$((1000000 / $(getconf CLK_TCK)))" \
    -f "$root/bench/compare_summary.awk" "$log" | tee "$log.summary"

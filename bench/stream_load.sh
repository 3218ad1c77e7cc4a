#!/bin/bash
# Datagram clients beside busy stream clients: the request rate each UDP
# client gets while STREAM_CLIENTS (800) TCP connections keep the server
# busy, beside the rate each of those TCP clients gets in the same run, and
# beside what the UDP clients get alone. Inside a private network namespace,
# the server on core 0 and both load tools on core 1, in several rounds; the
# summary gives medians and the ratio UDP / TCP per client.
#
#   bench/stream_load.sh [rounds] [seconds per measurement]   (defaults 3 and 5)
#
# DATAGRAM_CLIENTS (32) UDP sockets, each with one ping in flight, as every
# TCP connection has. ATOM_SERVER names another build of the server. Raw
# lines go to build/release/bench/stream-load-<time>.log.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-3}
seconds=${2:-5}

if [ -z "${ATOM_STREAM_LOAD_IN_NETNS:-}" ]; then
    cmake --preset release >/dev/null
    cmake --build --preset release >/dev/null
    export ATOM_STREAM_LOAD_IN_NETNS=1
    exec "$root/tests/in_netns.sh" "$0" "$@"
fi

build=$root/build/release
server_bin=${ATOM_SERVER:-$build/atom_server}
bench_bin=$build/bench/atom_bench
log=$build/bench/stream-load-$(date +%Y%m%d-%H%M%S).log
: >"$log"
stream_clients=${STREAM_CLIENTS:-800}
datagram_clients=${DATAGRAM_CLIENTS:-32}
warmup=1

server_pid=
stop_server() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=
    fi
}
trap stop_server EXIT

start_server() {
    taskset -c 0 "$server_bin" -no_fork -quiet 2>>"$log.stderr" &
    server_pid=$!
    for _ in $(seq 200); do
        grep -q ':115C ' /proc/net/udp && grep -q ':115D 00000000:0000 0A' /proc/net/tcp && return 0
        sleep 0.05
    done
    echo "the server did not bind its ports" >&2
    exit 1
}

# load ROUND KIND TRANSPORT CONNECTIONS: one run of pings, its line kept.
load() {
    local line
    line=$(taskset -c 1 "$bench_bin" --label "$2" --transport "$3" --workload ping \
        --connections "$4" --seconds "$seconds" --warmup "$warmup" --limit 60 \
        2>>"$log.stderr") || true
    echo "round=$1 $line" | tee -a "$log"
}

echo "stream_load: $rounds rounds of $seconds s, $datagram_clients UDP clients beside $stream_clients TCP clients; log $log"
for round in $(seq "$rounds"); do
    start_server
    load "$round" alone udp "$datagram_clients"
    # Both tools start together and measure over the same seconds.
    load "$round" loaded tcp "$stream_clients" &
    stream_load=$!
    load "$round" loaded udp "$datagram_clients"
    wait "$stream_load"
    stop_server
done

awk '
function field(name,    i, kv) {
    for (i = 1; i <= NF; ++i) {
        split($i, kv, "=")
        if (kv[1] == name) return kv[2]
    }
    return ""
}
function median(key,    n, i, j, t, v) {
    n = count[key]
    if (n == 0) return 0
    for (i = 1; i <= n; ++i) v[i] = values[key, i]
    for (i = 2; i <= n; ++i)
        for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
function add(key, value) { values[key, ++count[key]] = value }
{
    key = $2 " " $3
    add(key " per_client", field("rps") / field("conns"))
    add(key " rps", field("rps"))
    add(key " lost", field("lost"))
    add(key " errors", field("errors"))
    add(key " p99", field("p99_us"))
}
END {
    print ""
    print "medians over rounds (requests per second; p99 in microseconds):"
    printf "  %-12s %10s %12s %10s %6s %6s\n", "run", "rps", "per client", "p99", "lost", "errors"
    split("alone udp,loaded udp,loaded tcp", keys, ",")
    for (i = 1; i <= 3; ++i) {
        k = keys[i]
        printf "  %-12s %10.0f %12.1f %10.1f %6d %6d\n", k, median(k " rps"), median(k " per_client"), median(k " p99"), median(k " lost"), median(k " errors")
    }
    u = median("loaded udp per_client"); t = median("loaded tcp per_client"); a = median("alone udp per_client")
    print ""
    printf "  UDP / TCP per client under stream load: %.2f x (target >= 1.0: %s)\n", (t > 0 ? u / t : 0), (t > 0 && u >= t ? "met" : "MISSED")
    printf "  UDP under stream load / UDP alone:      %.4f x\n", (a > 0 ? u / a : 0)
}' "$log" | tee "$log.summary"

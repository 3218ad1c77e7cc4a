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
awk -v redis_present="${redis_bin:+yes}" -v tick_us="$((1000000 / $(getconf CLK_TCK)))" '
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
$2 == "memory" {
    add("mem " $3, (field("rss_after") - field("rss_before")) / field("atoms"))
    next
}
{
    key = $2 " " $3 " " $4
    if (!(key in seen)) { seen[key] = 1; order[++keys] = key }
    add(key " rps", field("rps")); add(key " p50", field("p50_us"))
    add(key " p99", field("p99_us")); add(key " p999", field("p99.9_us"))
    add(key " lost", field("lost")); add(key " errors", field("errors"))
    if (field("answered") > 0) add(key " cpu", field("server_ticks") * tick_us / field("answered"))
}
function rps(key) { return median(key " rps") }
# Two ratios of a against b: of the measured requests per second, and of the
# capacity the server CPU time per request implies (b cost / a cost).
function ratio(label, a, b, target,    r, ca, cb, c) {
    if (rps(b) == 0) { printf "  %-44s %8s\n", label, "n/a"; return }
    r = rps(a) / rps(b)
    ca = median(a " cpu"); cb = median(b " cpu")
    c = ca > 0 ? cb / ca : 0
    printf "  %-44s %6.2f x %6.2f x   (target >= %.1f: %s)\n", label, r, c, target, (r >= target ? "met" : "MISSED")
}
END {
    print ""
    print "medians over rounds (requests per second, latency in microseconds):"
    printf "  %-30s %8s %8s %8s %9s %5s %6s %11s\n", "system transport workload", "rps", "p50", "p99", "p99.9", "lost", "errors", "server_us/r"
    for (i = 1; i <= keys; ++i) {
        k = order[i]
        printf "  %-30s %8.0f %8.1f %8.1f %9.1f %5d %6d %11.2f\n", k, rps(k), median(k " p50"), median(k " p99"), median(k " p999"), median(k " lost"), median(k " errors"), median(k " cpu")
    }
    if (redis_present != "yes") print "  redis: redis-server is not installed, so it was not measured"
    print ""
    print "ratios of medians: requests per second, then capacity from server CPU per request:"
    ratio("udp ping: atom_server / bare", "atom_server udp ping", "bare udp ping", 0.9)
    ratio("udp lookup: atom_server / bare ping", "atom_server udp lookup", "bare udp ping", 0.9)
    ratio("tcp ping: atom_server / bare", "atom_server tcp ping", "bare tcp ping", 0.9)
    ratio("tcp lookup: atom_server / bare ping", "atom_server tcp lookup", "bare tcp ping", 0.9)
    if (redis_present == "yes") {
        ratio("tcp ping: atom_server / redis PING", "atom_server tcp ping", "redis tcp ping", 1.0)
        ratio("tcp lookup: atom_server / redis GET", "atom_server tcp lookup", "redis tcp lookup", 1.0)
        ratio("tcp miss: atom_server / redis GET absent", "atom_server tcp miss", "redis tcp miss", 1.0)
        ratio("tcp associate: atom_server / redis", "atom_server tcp associate", "redis tcp associate", 1.0)
    } else {
        print "  tcp against redis-server: not measured (redis-server is not installed)"
    }
    ratio("udp lookup: 1,000,000 / 1,000 atoms", "atom_server_1m udp lookup", "atom_server udp lookup", 0.9)
    ratio("tcp lookup: 1,000,000 / 1,000 atoms", "atom_server_1m tcp lookup", "atom_server tcp lookup", 0.9)
    print ""
    print "memory (resident bytes per atom at 1,000,000 atoms):"
    m = median("mem atom_server")
    printf "  atom_server                      %6.1f   (target <= 100: %s)\n", m, m <= 100 ? "met" : "MISSED"
    if (redis_present == "yes") {
        r = median("mem redis")
        printf "  redis-server, two keys per pair  %6.1f   (atom_server / redis: %.2f x)\n", r, (r > 0 ? m / r : 0)
    } else {
        print "  redis-server: not measured (not installed)"
    }
}' "$log" | tee "$log.summary"

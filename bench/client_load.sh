#!/bin/sh
# Figures for the client tool: `atom_client load` of N lines from a file and
# from a producer that pauses, and a batch `get` of the N keys; beside
# `redis-cli --pipe` loading the same pairs into redis-server (when both are
# installed), as ratios. Prints figures, asserts nothing.
#
#   bench/client_load.sh [BUILD_DIR] [N]     (default build/release, 1000000)
#
# Runs itself inside tests/in_netns.sh, so the servers it starts are reached
# over a private loopback only.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ "${ATOM_IN_NETNS:-}" != 1 ]; then
    ATOM_IN_NETNS=1 exec "$here/../tests/in_netns.sh" "$0" "$@"
fi
build=$(cd "${1:-$here/../build/release}" && pwd)
n=${2:-1000000}
client=$build/client/atom_client
server=$build/atom_server
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

now() { date +%s.%N; }
seconds_since() { echo "$(now) $1" | awk '{printf "%.2f", $1 - $2}'; }
rate() { echo "$1 $2" | awk '{printf "%.0f", $1 / $2}'; }

awk -v n="$n" 'BEGIN { for (i = 0; i < n; i++) printf "%d atom:%d\n", i, i }' >"$work/pairs"
awk -v n="$n" 'BEGIN { for (i = 0; i < n; i++) printf "atom:%d\n", i }' >"$work/keys"
# The pausing producer: the same lines in 100 chunks, with a pause of
# 20 ms before each; the pauses add 2 s to its time.
chunk=$((n / 100))

start_atom_server() {
    "$server" -no_fork -quiet &
    server_pid=$!
    for _ in $(seq 50); do "$client" --timeout 0.1 ping >/dev/null 2>&1 && return; sleep 0.1; done
    echo "atom_server did not start"; exit 1
}
stop_atom_server() { kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; }

start_atom_server
t0=$(now)
"$client" --quiet load "$work/pairs"
load_file=$(seconds_since "$t0")
t0=$(now)
"$client" get <"$work/keys" >"$work/got"
batch_get=$(seconds_since "$t0")
found=$(grep -c "	" "$work/got" || true)
stop_atom_server

start_atom_server
t0=$(now)
awk -v chunk="$chunk" '{ print; if (NR % chunk == 0) { fflush(); system("sleep 0.02") } }' \
    "$work/pairs" | "$client" --quiet load
load_paused=$(seconds_since "$t0")
stop_atom_server

echo "atom_client load, file:        $n lines in $load_file s ($(rate "$n" "$load_file") lines/s)"
echo "atom_client load, pausing:     $n lines in $load_paused s (100 pauses of 20 ms included)"
echo "atom_client get, batch:        $n keys in $batch_get s ($(rate "$n" "$batch_get") keys/s, $found found)"

if command -v redis-server >/dev/null 2>&1 && command -v redis-cli >/dev/null 2>&1; then
    # The same pairs as SET commands in redis's protocol: string -> value.
    awk '{ printf "*3\r\n$3\r\nSET\r\n$%d\r\n%s\r\n$%d\r\n%s\r\n", length($2), $2, length($1), $1 }' \
        "$work/pairs" >"$work/redis_pipe"
    redis-server --port 6379 --bind 127.0.0.1 --save '' --appendonly no --daemonize no \
        >"$work/redis.log" 2>&1 &
    for _ in $(seq 50); do redis-cli ping >/dev/null 2>&1 && break; sleep 0.1; done
    t0=$(now)
    redis-cli --pipe <"$work/redis_pipe" >/dev/null
    redis_load=$(seconds_since "$t0")
    echo "redis-cli --pipe (SET):        $n pairs in $redis_load s ($(rate "$n" "$redis_load") pairs/s)"
    echo "ratio atom_client load / redis-cli --pipe: $(echo "$load_file $redis_load" | awk '{printf "%.2f", $1 / $2}') (time)"
    echo "ratio atom_client get / redis-cli --pipe:  $(echo "$batch_get $redis_load" | awk '{printf "%.2f", $1 / $2}') (time)"
    redis-cli shutdown nosave >/dev/null 2>&1 || true
else
    echo "redis-server or redis-cli not installed: no comparison"
fi

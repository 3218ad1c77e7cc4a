#!/bin/sh
# Smoke test of the load tool, run inside a private network namespace:
# atom_bench loads a few atoms into the real server over TCP, looks them up
# over UDP for a fraction of a second and prints its line. Only the line's shape and the
# absence of errors are checked; the figures are not.
#   smoke.sh ATOM_SERVER ATOM_BENCH
set -u
server=$1
bench=$2

"$server" -no_fork -quiet &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null' EXIT

# The server is up once its datagram port (4444 = 0x115C) is bound.
tries=0
until grep -q ':115C ' /proc/net/udp; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
        echo "server did not bind its datagram port" >&2
        exit 1
    fi
    sleep 0.05
done

"$bench" --transport tcp --workload load --keys 100 --connections 2 --batch 10 || exit 1
line=$("$bench" --workload lookup --keys 100 --connections 2 --seconds 0.2 --warmup 0) || exit 1
echo "$line"
case "$line" in
    "atom_server udp lookup conns=2 depth=1 done="*" rps="*" p50_us="*" p99_us="*" p99.9_us="*" lost="*" resent="*" errors=0 "*) ;;
    *) echo "unexpected line from atom_bench" >&2; exit 1 ;;
esac
case "$line" in
    *" done=0 "*) echo "no request was answered" >&2; exit 1 ;;
esac

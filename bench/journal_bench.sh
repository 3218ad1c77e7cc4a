#!/bin/sh
# Association rate of the real server without a journal, with -journal and
# with -journal -fsync, side by side in one run: atom_bench's associate
# workload (a new pair, then a lookup that confirms it) over TCP. Runs itself
# inside a private network namespace; the journal goes to DIRECTORY, which
# should be on the disk being measured (not a tmpfs, where fdatasync costs
# nothing). Prints atom_bench's lines; asserts nothing.
#   bench/journal_bench.sh [DIRECTORY [SECONDS [CONNECTIONS]]]
set -eu
cd "$(dirname "$0")/.."
dir="${1:-build/benchdata}"
seconds="${2:-3}"
connections="${3:-32}"
if [ -z "${JOURNAL_BENCH_INSIDE:-}" ]; then
    cmake --preset release >/dev/null
    cmake --build --preset release --target atom_server atom_bench >/dev/null
    mkdir -p "$dir"
    JOURNAL_BENCH_INSIDE=1 exec tests/in_netns.sh "$0" "$dir" "$seconds" "$connections"
fi
server=build/release/atom_server
bench=build/release/bench/atom_bench

run() {
    label=$1
    shift
    rm -f "$dir/journal_bench.journal"
    "$server" -no_fork -quiet "$@" &
    pid=$!
    tries=0
    until grep -q ':115C ' /proc/net/udp; do
        tries=$((tries + 1))
        [ "$tries" -le 200 ] || { echo "server did not start" >&2; kill "$pid"; exit 1; }
        sleep 0.05
    done
    "$bench" --transport tcp --workload associate --connections "$connections" \
        --seconds "$seconds" --label "$label" || true
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    if [ -f "$dir/journal_bench.journal" ]; then
        echo "  journal bytes: $(stat -c %s "$dir/journal_bench.journal")"
    fi
}

run memory_only
run journal -journal "$dir/journal_bench.journal"
run journal_fsync -journal "$dir/journal_bench.journal" -fsync
rm -f "$dir/journal_bench.journal"

#!/bin/sh
# Runs every test of the Debug build with each server the integration tests
# start running under valgrind's memcheck, and fails when valgrind reported
# an error (or a definite leak) for any of them. Slow: not part of CI.
set -eu
cd "$(dirname "$0")/.."
logs=$(mktemp -d /tmp/atom_valgrind.XXXXXX)
cmake --preset debug >/dev/null
cmake --build --preset debug
status=0
ATOM_SERVER_PREFIX="valgrind -q --vgdb=no --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite --log-file=$logs/%q{ATOM_SERVER_RUN_ID}.log" \
    ctest --preset debug --timeout 300 "$@" || status=$?
# With -q valgrind writes nothing unless it found something.
reported=$(find "$logs" -name '*.log' -size +0 | wc -l)
servers=$(find "$logs" -name '*.log' | wc -l)
echo "valgrind: $servers server runs, $reported with a report (logs in $logs)"
if [ "$reported" -ne 0 ]; then
    find "$logs" -name '*.log' -size +0 -exec sh -c 'echo "== $1"; cat "$1"' sh {} \;
    exit 1
fi
exit "$status"

#!/bin/sh
# Builds the fuzz targets with clang++ (the fuzz preset) and runs each for
# FUZZ_SECONDS seconds (default 60), starting from tests/fuzz/corpus/<target>.
# New inputs are kept under build/fuzz/corpus/<target>, a crashing input
# under build/fuzz/crash-*; the script fails when a target fails.
#   FUZZ_SECONDS=3600 ./tests/fuzz/run.sh          a longer run
#   ./tests/fuzz/run.sh stream                     one target
set -eu
cd "$(dirname "$0")/../.."
seconds="${FUZZ_SECONDS:-60}"
targets="${*:-request_handler stream journal_reader}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for target in $targets; do
    work="build/fuzz/corpus/$target"
    mkdir -p "$work"
    log="build/fuzz/$target.log"
    echo "fuzzing $target for $seconds s"
    if ! "build/fuzz/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=4096 \
            -print_final_stats=1 -artifact_prefix=build/fuzz/ \
            "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz target $target failed; see $log" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$target: $runs executions in $seconds s, no failure"
done

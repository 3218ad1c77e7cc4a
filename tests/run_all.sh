#!/bin/sh
# Builds and runs every test: the format check, the unit and integration tests in the Release
# and the sanitizer (ASan + UBSan) builds, the README's first Quick start
# command on a machine without GoogleTest, each fuzz target for FUZZ_SECONDS
# (default 60), and the soak of the real binary under hostile clients for
# SOAK_SECONDS (default 60; the sanitizer build for a third of that).
set -eu
cd "$(dirname "$0")/.."
./tests/check_format.sh
for preset in release asan; do
    # Without GoogleTest the configure would build no tests, and ctest would
    # pass on what is left: here its absence stops the run.
    cmake --preset "$preset" -DATOM_REQUIRE_TESTS=ON
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
./tests/quick_start_check.sh
FUZZ_SECONDS="${FUZZ_SECONDS:-60}" ./tests/fuzz/run.sh
soak="${SOAK_SECONDS:-60}"
SOAK_SECONDS="$soak" ./tests/in_netns.sh ./build/release/tests/soak
SOAK_SECONDS=$((soak / 3 > 0 ? soak / 3 : 1)) ./tests/in_netns.sh ./build/asan/tests/soak

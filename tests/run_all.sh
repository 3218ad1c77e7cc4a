#!/bin/sh
# Builds and runs every test: the format check, the unit and integration tests in the Release
# and the sanitizer (ASan + UBSan) builds, each fuzz target for FUZZ_SECONDS
# (default 60), and the soak of the real binary under hostile clients for
# SOAK_SECONDS (default 60; the sanitizer build for a third of that).
set -eu
cd "$(dirname "$0")/.."
./tests/check_format.sh
for preset in release asan; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
FUZZ_SECONDS="${FUZZ_SECONDS:-60}" ./tests/fuzz/run.sh
soak="${SOAK_SECONDS:-60}"
SOAK_SECONDS="$soak" ./tests/in_netns.sh ./build/release/tests/soak
SOAK_SECONDS=$((soak / 3 > 0 ? soak / 3 : 1)) ./tests/in_netns.sh ./build/asan/tests/soak

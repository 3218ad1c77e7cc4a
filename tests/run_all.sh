#!/bin/sh
# Builds the Release and the sanitizer (ASan + UBSan) configurations and runs
# every test in both.
set -eu
cd "$(dirname "$0")/.."
for preset in release asan; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

#!/usr/bin/env bash
# Builds the suite twice and runs every test on both builds: an optimised
# build, and one with AddressSanitizer and UndefinedBehaviorSanitizer. Then
# runs every fuzz target briefly (FUZZ_SECONDS each, 30 by default), where
# clang and libFuzzer are installed.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

run() {
    local dir=$1
    shift
    echo "== $dir: configure and build"
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    echo "== $dir: tests"
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure
}

run build -DCMAKE_BUILD_TYPE=Release
ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run build-asan -DCMAKE_BUILD_TYPE=Debug -DSUITE_SANITIZE=ON
fuzz/run.sh "${FUZZ_SECONDS:-30}"

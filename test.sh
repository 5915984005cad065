#!/usr/bin/env bash
# Builds the suite and runs every test:
#   1. an optimised Linux build, and every test on it;
#   2. a Linux build with AddressSanitizer and UndefinedBehaviorSanitizer,
#      and every test on it;
#   3. every fuzz target briefly (FUZZ_SECONDS each, 30 by default), where
#      clang and libFuzzer are installed;
#   4. the Windows build: cross-compiled with MinGW-w64 (cmake/mingw-w64.cmake,
#      libpng and GoogleTest built for it by cmake/windows-deps.sh into
#      build-win/deps), and every test run under wine, including the
#      comparison of every tool's outputs with the Linux programs' and the
#      download zip's smoke test.
#
#     ./test.sh            everything
#     ./test.sh windows    the Windows stage only (builds the Linux programs
#                          it compares with, without testing them)
#
# Prints how long each stage took.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)
only=${1:-all}
if [ "$only" != all ] && [ "$only" != windows ]; then
    echo "usage: $0 [windows]" >&2
    exit 2
fi

stage_start=$SECONDS
took() {
    echo "== $1: $((SECONDS - stage_start)) s"
    stage_start=$SECONDS
}

build() {
    local dir=$1
    shift
    echo "== $dir: configure and build"
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

run() {
    local dir=$1
    build "$@"
    echo "== $dir: tests"
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure
}

if [ "$only" = all ]; then
    run build -DCMAKE_BUILD_TYPE=Release
    took "Linux, optimised"
    ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run build-asan -DCMAKE_BUILD_TYPE=Debug -DSUITE_SANITIZE=ON
    took "Linux, sanitizers"
    fuzz/run.sh "${FUZZ_SECONDS:-30}"
    took "fuzzing"
else
    build build -DCMAKE_BUILD_TYPE=Release
    took "Linux programs to compare with"
fi

# The dependencies live inside the build folder: a clean clone builds them
# once, later runs find them built.
cmake/windows-deps.sh build-win/deps
took "Windows dependencies"
run build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DSUITE_WINDOWS_DEPS="$PWD/build-win/deps"
cmake/wine-run.sh build-win/wineprefix --stop
took "Windows, under wine"

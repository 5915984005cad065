#!/usr/bin/env bash
# Builds the suite and runs every test:
#   1. an optimised Linux build, and every test on it;
#   2. a Linux build with AddressSanitizer and UndefinedBehaviorSanitizer,
#      and every test on it;
#   3. the Windows build: cross-compiled with MinGW-w64 (cmake/mingw-w64.cmake,
#      libpng and GoogleTest built for it by cmake/windows-deps.sh into
#      build-win/deps);
#   4. every Windows test under wine, including the comparison of every
#      tool's outputs with the Linux programs' and the download zip's smoke
#      test, and beside it every fuzz target briefly (FUZZ_SECONDS each, 10
#      by default), where clang and libFuzzer are installed. A run under
#      wine mostly waits for wine's server, so it runs many tests at once
#      and leaves the processor to the fuzzer.
#
#     ./test.sh            everything
#     ./test.sh windows    the Windows stages only (builds the Linux programs
#                          they compare with, without testing them)
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
# Before anything is built: the packages this needs (installed when run as
# root; otherwise the one apt-get line to run, and a stop).
packaging/need-packages.sh test

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
    # Twice as many tests as cores: many of them wait on the programs they run.
    ctest --test-dir "$dir" -j"$((jobs * 2))" --output-on-failure
}

if [ "$only" = all ]; then
    run build -DCMAKE_BUILD_TYPE=Release
    took "Linux, optimised"
    ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        run build-asan -DCMAKE_BUILD_TYPE=Debug -DSUITE_SANITIZE=ON
    took "Linux, sanitizers"
else
    build build -DCMAKE_BUILD_TYPE=Release
    took "Linux programs to compare with"
fi

# The dependencies live inside the build folder: a clean clone builds them
# once, later runs find them built.
cmake/windows-deps.sh build-win/deps
took "Windows dependencies"
build build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DSUITE_WINDOWS_DEPS="$PWD/build-win/deps"
took "Windows build"

beside=""
[ "$only" = all ] && beside=", beside the fuzzing"
echo "== build-win: tests under wine$beside (their output follows at the end)"
wine_log=build-win/wine-tests.log
# The tests start with no server: the one that the build's test discovery
# left must not be going away as the first tests start.
cmake/wine-run.sh build-win/wineprefix --stop
ctest --test-dir build-win -j8 --output-on-failure >"$wine_log" 2>&1 &
wine_tests=$!
fuzz_status=0
if [ "$only" = all ]; then
    fuzz/run.sh "${FUZZ_SECONDS:-10}" || fuzz_status=$?
fi
wine_status=0
wait "$wine_tests" || wine_status=$?
cmake/wine-run.sh build-win/wineprefix --stop
cat "$wine_log"
took "Windows tests$beside"
if [ "$wine_status" -ne 0 ]; then
    echo "== the Windows tests failed" >&2
fi
if [ "$fuzz_status" -ne 0 ]; then
    echo "== the fuzzing failed" >&2
fi
[ "$wine_status" -eq 0 ] && [ "$fuzz_status" -eq 0 ]

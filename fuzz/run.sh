#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (in build-fuzz/) and runs
# each for a bounded time, one after the other, one process each.
#
#     fuzz/run.sh [seconds per target, default 30] [target...]
#
# Every target starts from its committed corpus and regression inputs
# (fuzz/corpus/<target>, fuzz/regressions/<target>), which are only read;
# what a run adds goes to build-fuzz/corpus/<target>. A crash or a broken
# invariant stops the script with a failure and leaves the input in
# build-fuzz/artifacts/. Without clang++ or its libFuzzer runtime the script
# says so and does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
# libFuzzer reads a time of 0 as "no limit"; a bounded run needs at least 1.
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: fuzz/run.sh [seconds per target, at least 1] [target...]" >&2
    exit 2
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(rpk_index fpack_dir evd_parse evd_insert text_escape lzr_decode lzr_roundtrip stored_names
        tim2_parse iso_image)
fi
build=build-fuzz

if ! command -v clang++ >/dev/null 2>&1; then
    echo "== fuzz: skipped, clang++ is not installed (Debian: clang libclang-rt-14-dev)"
    exit 0
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    >/dev/null 2>&1; then
    echo "== fuzz: skipped, clang++ cannot link libFuzzer (Debian: libclang-rt-14-dev)"
    exit 0
fi

echo "== fuzz: build ($build)"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSUITE_FUZZ=ON -DSUITE_TESTS=OFF >/dev/null
names=()
for t in "${targets[@]}"; do names+=("$t-fuzz"); done
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target "${names[@]}" >/dev/null

mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
    work=$build/corpus/$t
    mkdir -p "$work"
    inputs=("$work" "fuzz/corpus/$t")
    if [ -d "fuzz/regressions/$t" ]; then
        inputs+=("fuzz/regressions/$t")
    fi
    log=$build/artifacts/$t.log
    echo "== fuzz: $t for ${seconds}s"
    # Hangs count as failures too: no input of these parsers needs a second.
    if ! "$build/fuzz/$t-fuzz" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-" "${inputs[@]}" >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "== fuzz: $t FAILED; the input is in $build/artifacts/ (log: $log)."
        echo "   Fix the fault, then pin the input: copy it to fuzz/regressions/$t/."
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    final=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 |
        sed -E 's/.*(cov: [0-9]+ ft: [0-9]+ corp: [^ ]+).*/\1/')
    echo "   $runs runs, $final"
done
echo "== fuzz: every target ran ${seconds}s without a failure"

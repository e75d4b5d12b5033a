#!/usr/bin/env bash
# Builds the fuzzers (preset "fuzz": clang, libFuzzer, AddressSanitizer and UBSan) and runs each
# for the given number of seconds, one after another in a single process each, on its corpus
# under the build directory, the seed inputs the build writes and those kept under fuzz/corpus/.
# Stops at the first finding.
#
#   scripts/fuzz.sh [seconds] [target...]
#       targets: uncompress import gltf paths info roundtrip model (default: all)
#
# QZ_FUZZ_BUILD names another build directory than build/fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh fuzz
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(uncompress import gltf paths info roundtrip model)
build=${QZ_FUZZ_BUILD:-build/fuzz}

# Each input is written to a file and unpacked or converted in a scratch directory: in memory, when
# the system has a tmpfs for it, the file system costs less than the code under test.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

for t in "${targets[@]}"; do
    corpus=$build/corpus/$t
    mkdir -p "$corpus" "$build/artifacts"
    # New inputs go to the first folder; the seed folders are only read.
    inputs=("$corpus")
    for seeds in "$build/fuzz/seeds/$t" "fuzz/corpus/$t"; do
        [ -d "$seeds" ] && inputs+=("$seeds")
    done
    dict=()
    [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
    log=$build/fuzz_$t.log
    echo "== fuzz_$t: $seconds s (log: $log)"
    # The tools' own output (progress, error messages) is dropped: -close_fd_mask=3. libFuzzer and
    # the sanitizers still report on a stream of their own.
    status=0
    TIMEFORMAT="cpu: %U s user, %S s system, %R s elapsed"
    { time "$build/bin/fuzz_$t" "${inputs[@]}" ${dict[@]+"${dict[@]}"} \
        -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -malloc_limit_mb=2048 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
        </dev/null >"$log" 2>&1 || status=$?; } 2>>"$log"
    if [ $status -ne 0 ]; then
        tail -n 60 "$log"
        echo "fuzz_$t: FINDING (exit status $status), inputs in $build/artifacts/" >&2
        exit 1
    fi
    grep -E '^#[0-9]+' "$log" | tail -n 1
    grep -E '^(stat::(number_of_executed_units|peak_rss_mb)|cpu:)' "$log"
done
echo "fuzzers: no finding"

#!/bin/sh
# Builds the libFuzzer targets in build-fuzz and runs each of them, one after the other, for
# the given number of seconds (default 60) from a scratch copy of the seed corpus.
# Prints executions and time per target; fails when a target finds a crash, a leak, undefined
# behaviour, a time-out or a memory blow-up, and names the file that reproduces it.
set -eu
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
BUILD=build-fuzz
ARTIFACTS=$BUILD/fuzz-artifacts

if ! command -v clang++ >/dev/null 2>&1 || ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends clang libclang-rt-14-dev
fi

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DKORVOFW_FUZZ=ON -DKORVOFW_TESTS=ON >/dev/null
cmake --build "$BUILD" --target fuzz_hex fuzz_startup -j "$(nproc)"

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/korvofw-fuzz.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT
mkdir -p "$SCRATCH/hex" "$SCRATCH/startup" "$ARTIFACTS"
cp fuzz/corpus/hex/* tests/data/avr/*.hex "$SCRATCH/hex/"
cp fuzz/corpus/startup/* "$SCRATCH/startup/"

failed=0

# run_target NAME CORPUS MAX_LEN
run_target() {
    log=$BUILD/$1.log
    echo "== $1: ${SECONDS_PER_TARGET}s"
    start=$(date +%s)
    status=0
    "$BUILD/fuzz/$1" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$3" -print_final_stats=1 -artifact_prefix="$ARTIFACTS/$1-" \
        "$SCRATCH/$2" >"$log" 2>&1 || status=$?
    elapsed=$(($(date +%s) - start))
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "$1: ${runs:-?} executions in ${elapsed} s"
    if [ "$status" -ne 0 ]; then
        failed=1
        echo "$1 FAILED (exit status $status); its log is $log"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$log" | head -n 5 || true
        sed -n 's/.*Test unit written to \(.*\)$/reproduce with: \1/p' "$log"
    fi
}

run_target fuzz_hex hex 1048576
run_target fuzz_startup startup 65536

if [ "$failed" -ne 0 ]; then
    echo "== fuzzing found faults"
    exit 1
fi
echo "== fuzzing found no faults"

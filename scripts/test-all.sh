#!/bin/sh
# Builds everything twice, plainly and under AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs the whole test suite on each build. Fails when any test fails.
set -eu
cd "$(dirname "$0")/.."
JOBS=$(nproc)

run_suite() {
    build=$1
    shift
    cmake -S . -B "$build" "$@"
    cmake --build "$build" -j "$JOBS"
    ctest --test-dir "$build" --output-on-failure -j "$JOBS"
}

echo "== plain build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKORVOFW_SANITIZE=ON
echo "== all tests passed"

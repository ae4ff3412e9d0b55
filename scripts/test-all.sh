#!/bin/sh
# Every test stage, in order; fails as soon as one fails:
#   the whole suite on a plain build, then under AddressSanitizer and
#   UndefinedBehaviorSanitizer; a minute of fuzzing per target; the Debian package's
#   install test; the real-kernel bench under QEMU.
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
echo "== fuzzing"
sh scripts/fuzz.sh 60
echo "== Debian package"
sh scripts/package-test.sh
echo "== real-kernel bench"
sh scripts/kernel-test.sh
echo "== all test stages passed"

#!/bin/sh
# The real-kernel bench (tests/kernel): installs what it needs on Debian 12,
# builds the station, korvofw-ledger and korvo-usbredir in build-kernel/, boots Debian's
# kernel under QEMU and runs the whole-station, dfu-programmer and avrdude tests, then the
# throughput benchmark.
# Fails loudly when any of it cannot run; it never passes by skipping.
set -eu
cd "$(dirname "$0")/.."

PACKAGES="build-essential cmake pkg-config libusb-dev libudev-dev libsqlite3-dev libpq-dev libssl-dev srecord \
qemu-system-x86 busybox-static udev dfu-programmer avrdude libusbredirparser-dev cpio sqlite3"

missing=
for package in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
        missing="$missing $package"
done
if [ -n "$missing" ]; then
    echo "== installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    # shellcheck disable=SC2086 # one word per package
    apt-get install -y --no-install-recommends $missing
fi
# The guest's kernel is looked up in the package lists.
if ! apt-cache depends linux-image-amd64 2>/dev/null | grep -q 'Depends: linux-image-[0-9]'; then
    apt-get update
fi

loud_failure() {
    echo "" >&2
    echo "######## REAL-KERNEL BENCH FAILED: $* ########" >&2
    exit 1
}

qemu-system-x86_64 --version >/dev/null 2>&1 || loud_failure "qemu-system-x86_64 cannot run here"

echo "== building the station, korvofw-ledger and korvo-usbredir"
cmake -S . -B build-kernel -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || loud_failure "cmake failed"
cmake --build build-kernel -j "$(nproc)" --target korvofw korvofw-ledger korvo-usbredir ||
    loud_failure "the build failed (korvo-usbredir needs libusbredirparser-dev)"

echo "== real-kernel bench"
start=$(date +%s)
sh tests/kernel/run.sh build-kernel || loud_failure "see the messages above"
echo "== real-kernel bench passed in $(($(date +%s) - start)) s"
# A benchmark: its figures never fail the run, but it has to run. Two devices a phase keep it
# short; bench/kernel-throughput.sh takes six by default.
echo "== real-kernel throughput"
start=$(date +%s)
sh bench/kernel-throughput.sh build-kernel 2 || loud_failure "the throughput benchmark could not run"
echo "== real-kernel throughput ran in $(($(date +%s) - start)) s"

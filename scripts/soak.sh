#!/bin/sh
# A long run of the station on the simulated bench: 10,000 devices by default, healthy and
# faulty. Prints the figures: devices started and counted, descriptors and memory early
# and at the end.
set -eu
cd "$(dirname "$0")/.."
DEVICES=${1:-10000}
if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build
fi
cmake --build build -j2 --target soak_tests
KORVOFW_SOAK_DEVICES=$DEVICES build/tests/soak_tests

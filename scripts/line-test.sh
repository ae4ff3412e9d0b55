#!/bin/sh
# The production line in full: 8 stations of 250 devices each on one ledger, SQLite and then
# PostgreSQL, 56 kills and (PostgreSQL) 3 server restarts, through the line test's binary.
# Prints each back end's figures. Sizes: KORVOFW_LINE_DEVICES, KORVOFW_LINE_KILLS,
# KORVOFW_LINE_RESTARTS, KORVOFW_LINE_SEED; BUILD_DIR names the build (default build).
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$BUILD_DIR" -j2 --target line_tests
export KORVOFW_LINE_DEVICES="${KORVOFW_LINE_DEVICES:-250}"
export KORVOFW_LINE_KILLS="${KORVOFW_LINE_KILLS:-56}"
export KORVOFW_LINE_RESTARTS="${KORVOFW_LINE_RESTARTS:-3}"
"$BUILD_DIR/tests/line/line_tests"

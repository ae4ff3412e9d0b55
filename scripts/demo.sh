#!/bin/sh
# Plays examples/demo.scenario on the simulated bench, in real time: the real
# station program programs three boards plugged in one after another, with the
# example firmware and hard IDs from 0x10 drawn from an SQLite ledger (created first with
# korvofw-ledger init), and keeps its EEPROM image file. After each board the example test
# (examples/test-hook.sh) runs, which fails one board in three; every step goes to an event
# stream. Then the ledger's summary and the events of one board.
set -eu
cd "$(dirname "$0")/.."

BUILD=build
OUT=demo-out
BENCH_OUT=$OUT/bench
DONE_LIMIT_SECONDS=50

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD"
fi
cmake --build "$BUILD" -j2 --target korvofw-sim korvofw-ledger

rm -rf "$OUT"
mkdir -p "$BENCH_OUT"
cp examples/fw.hex "$OUT/"
"$BUILD/src/ledger/korvofw-ledger" "$OUT/line.db" init

KORVOFW_SIM=examples/demo.scenario KORVOFW_SIM_OUT=$BENCH_OUT KORVOFW_SIM_REALTIME=1 \
    "$BUILD/sim/korvofw-sim" -f "$OUT/fw.hex" -e "$OUT/id.bin" -I 10 -r 0x8700 \
    --ledger "$OUT/line.db" --station demo --events "$OUT/events.jsonl" \
    --after examples/test-hook.sh &
station=$!
trap 'kill "$station" 2>/dev/null || true' EXIT INT TERM

# The station never stops by itself; the bench marks the end of the scenario.
waited=0
while [ ! -e "$BENCH_OUT/done" ]; do
    if ! kill -0 "$station" 2>/dev/null; then
        echo "demo: the station ended before the scenario was played out" >&2
        exit 1
    fi
    if [ "$waited" -ge "$DONE_LIMIT_SECONDS" ]; then
        echo "demo: the scenario was not played out within $DONE_LIMIT_SECONDS s" >&2
        exit 1
    fi
    sleep 1
    waited=$((waited + 1))
done
kill -TERM "$station"
wait "$station" 2>/dev/null || true
trap - EXIT INT TERM

echo
echo
echo "The boards' memories, as the station left them:"
for memory in "$BENCH_OUT"/*.flash "$BENCH_OUT"/*.eeprom; do
    echo "  $memory"
done
echo "Their request logs: $BENCH_OUT/*.log"
echo "The station's EEPROM image file: $OUT/id.bin"
echo "The device ledger: $OUT/line.db"
echo
echo "$BUILD/src/ledger/korvofw-ledger $OUT/line.db summary"
"$BUILD/src/ledger/korvofw-ledger" "$OUT/line.db" summary
echo
echo "The events of the board on bus 1, device 6 ($OUT/events.jsonl):"
grep -E '"device":6[,}]' "$OUT/events.jsonl"

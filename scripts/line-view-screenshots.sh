#!/bin/sh
# Takes the line page's pictures in docs/ (line-view.png at 1920x1080, line-view-phone.png at
# a phone's 412x915) on a line of the simulated bench: six stations program devices with
# faults into an SQLite ledger, one of them killed in a pass; their rows are then spread over
# the last eleven hours, as a shift leaves them (the bench plays a shift in a second), and
# korvofw-ledger serves the ledger while four stations still wait for devices.
# Usage: scripts/line-view-screenshots.sh [BUILD_DIR]
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build}
SHIFT_MS=$((11 * 3600 * 1000))
LIMIT_TENTHS=300 # how long a station may take to play its devices, and the server to start

cmake --build "$BUILD" -j2 --target korvofw-sim korvofw-ledger
SIM=$PWD/$BUILD/sim/korvofw-sim
LEDGER=$PWD/$BUILD/src/ledger/korvofw-ledger
DIR=$(mktemp -d)
PIDS=""
trap 'for p in $PIDS; do kill "$p" 2>/dev/null || true; done; rm -rf "$DIR"' EXIT
cp tests/data/avr/blink.hex "$DIR/fw.hex"
"$LEDGER" "$DIR/line.db" init >/dev/null

# Waits until the file exists, at most LIMIT_TENTHS tenths of a second.
await() {
    n=0
    while [ ! -e "$1" ]; do
        n=$((n + 1))
        [ "$n" -le "$LIMIT_TENTHS" ] || { echo "$1 did not appear" >&2; exit 1; }
        sleep 0.1
    done
}

# station NAME POOL FROM DEVICES EVERY [KILL]: plays DEVICES devices; one in EVERY fails its
# flash verification, one in 3 * EVERY is held by another program, one in 5 * EVERY fails its
# status. The station goes on waiting for devices, or dies at KILL, a bench kill point.
station() {
    awk -v n="$4" -v e="$5" 'BEGIN { for (i = 1; i <= n; i++) {
        f = i % e == 0 ? " fault=stuck" : i % (3 * e) == 1 ? " fault=busy" : i % (5 * e) == 2 ? " fault=statuslen@20" : ""
        printf "device %d %d%s\nwait\n", 1 + int(i / 100), 1 + i % 100, f } }' >"$DIR/$1.scenario"
    (cd "$DIR" && if [ -n "${6:-}" ]; then export KORVOFW_SIM_KILL="$6"; fi &&
        KORVOFW_SIM=$1.scenario KORVOFW_SIM_OUT=$1.out exec "$SIM" -f fw.hex -e "$1.bin" \
        -I "$3" -r 0x8700 --ledger line.db --station "$1" --pool "$2" >/dev/null 2>&1) &
    PIDS="$PIDS $!"
    if [ -n "${6:-}" ]; then
        wait $! || true
    else
        await "$DIR/$1.out/done"
    fi
}
station hall-a-1 default 10 200 40
station hall-a-2 default 10 170 25
station hall-a-3 default 10 230 60
station hall-a-4 default 10 140 9
station rework-1 rework 1F80 60 30
station hall-a-5 default 10 120 30 request:8000

# Each station's rows spread evenly over the shift up to now, in their order.
sqlite3 "$DIR/line.db" "UPDATE attempts SET arrived_ms = arrived_ms - s.back,
    ended_ms = ended_ms - s.back FROM (SELECT row_id, $SHIFT_MS * (count(*) OVER w -
    row_number() OVER (w ORDER BY row_id)) / count(*) OVER w AS back FROM attempts
    WINDOW w AS (PARTITION BY station)) AS s WHERE attempts.row_id = s.row_id"

"$LEDGER" "$DIR/line.db" serve --listen 127.0.0.1:0 >"$DIR/serve.out" &
PIDS="$PIDS $!"
n=0
until URL=$(grep -o 'http://[^ ]*/' "$DIR/serve.out"); do
    n=$((n + 1))
    [ "$n" -le "$LIMIT_TENTHS" ] || { echo "korvofw-ledger serve did not start" >&2; exit 1; }
    sleep 0.1
done
python3 scripts/page-screenshot.py "$URL" docs/line-view.png 1920 1080
python3 scripts/page-screenshot.py "$URL" docs/line-view-phone.png 412 915 --mobile
ls -l docs/line-view.png docs/line-view-phone.png

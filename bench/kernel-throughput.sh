#!/bin/sh
# Devices per minute on the real-kernel bench (sim/kernel/bench.sh): one
# station taking devices one after another, then two stations, each bound to
# one port of the hub, taking devices in pairs, in the same guest; and the
# ratio of the two. Each device is plugged as soon as the one before it on its
# port has left the bus, so the station's own cadence (the 2 s pause after a
# device, the 250 ms round) sets the pace. A phase lasts from its first plug to
# its last device leaving the bus. The stations share one SQLite ledger, as on
# a line. A benchmark: it prints figures; it fails only when a device was not
# programmed.
# Usage: kernel-throughput.sh <build-dir> [devices per phase, default 6]
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
DEVICES=${2:-6}
case "$#:$DEVICES" in
1:* | 2:*) ;;
*) echo "usage: $0 <build-dir> [devices per phase, default 6]" >&2; exit 2 ;;
esac
case "$DEVICES" in
'' | 0* | *[!0-9]*) echo "$0: devices per phase must be a whole number from 1, not \"$DEVICES\"" >&2; exit 2 ;;
esac
GOAL=1.8 # devices per minute of two stations over one's
. "$repo/sim/kernel/bench.sh"
kbench_start "$1" "$1/kernel/throughput"
cp "$repo/examples/fw.hex" "$share/fw.hex"

bench_station() { # name, port
    head -c 40 /dev/zero | tr '\0' '\377' >"$share/id-$1.bin"
    station_start "$1" "-f fw.hex -e id-$1.bin -I 10 --ledger /tmp/line.db --port $2"
}
event_time() { awk -v name="name=$1" -v what=" $2" '$3 == name && index($0, what) { print $1; exit }' "$out/events"; }
per_minute() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.1f", n * 60 / (b - a) }'; }

guest 'korvofw-ledger /tmp/line.db init'
[ "$last_rc" = 0 ] || fail "the ledger could not be created: $(cat "$last_out")"
bench_station one "$(slot_port 0)"
for i in $(seq "$DEVICES"); do
    bench "plug 0 name=one$i"
    wait_event "name=one$i left"
done
wait_station one "Waiting ($DEVICES devices) " 1
station_stop one
say "one station: $DEVICES devices"

bench_station left "$(slot_port 0)"
bench_station right "$(slot_port 1)"
for i in $(seq "$DEVICES"); do
    bench "plug 0 name=left$i"
    bench "plug 1 name=right$i"
    wait_event "name=left$i left"
    wait_event "name=right$i left"
done
wait_station left "Waiting ($DEVICES devices) " 1
wait_station right "Waiting ($DEVICES devices) " 1
station_stop left right
kbench_stop

one_from=$(event_time one1 plugged) one_to=$(event_time "one$DEVICES" left)
two_from=$(event_time left1 plugged) two_to=$(event_time "left$DEVICES" left)
right_to=$(event_time "right$DEVICES" left)
two_to=$(awk -v a="$two_to" -v b="$right_to" 'BEGIN { print (a > b ? a : b) }')
one_rate=$(per_minute "$DEVICES" "$one_from" "$one_to")
two_rate=$(per_minute $((2 * DEVICES)) "$two_from" "$two_to")
echo "kernel throughput: one station, $DEVICES devices one after another:" \
    "$(awk -v a="$one_from" -v b="$one_to" 'BEGIN { printf "%.1f", b - a }') s, $one_rate devices/minute"
echo "kernel throughput: two stations on two ports, $DEVICES pairs:" \
    "$(awk -v a="$two_from" -v b="$two_to" 'BEGIN { printf "%.1f", b - a }') s, $two_rate devices/minute"
awk -v a="$one_rate" -v b="$two_rate" -v goal="$GOAL" \
    'BEGIN { r = b / a; printf "kernel throughput: ratio %.2f (goal at least %s: %s)\n", r, goal, (r >= goal ? "met" : "NOT met") }'

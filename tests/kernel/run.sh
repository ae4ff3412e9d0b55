#!/bin/sh
# Whole-station tests through a real kernel (sim/kernel/bench.sh): the station, as
# `korvofw -f fw.hex -e id.bin -I 10 -r 0x8700` with id.bin 40 bytes of 0xFF, programs devices one
# after another, two at once and one whose flash does not take; a station with a ledger is stopped
# during a pass; then pairs of stations share one ledger, on the hub's two ports and without --port;
# then dfu-programmer and avrdude run against the same model, and parts.sh takes the rest of the
# family. check.sh checks it all on the host;
# bench/kernel-figures.sh prints figures.
# Usage: run.sh <build-dir>; the run is left in <build-dir>/kernel/run.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
. "$repo/sim/kernel/bench.sh"
command -v srec_cat >/dev/null || fail "srec_cat (srecord) is not installed"
command -v sqlite3 >/dev/null || fail "sqlite3 is not installed"
kbench_start "$1" "$1/kernel/run"
cp "$repo/examples/fw.hex" "$share/fw.hex"
head -c 40 /dev/zero | tr '\0' '\377' >"$share/id.bin"
srec_cat "$repo/examples/fw.hex" -intel -o "$run/fw.bin" -binary

# ---- the station
station_start station "-f fw.hex -e id.bin -I 10 -r 0x8700"
# One after another, each once the station waits again (for the figures), then
# st4 and st5 together and a device whose flash does not take, each as soon as
# the ones before have left: their later udev events name the same port.
n=0
for names in st1 st2 st3 "st4 st5"; do
    slot=0
    for name in $names; do bench "plug $slot name=$name"; slot=$((slot + 1)); done
    for name in $names; do wait_event "name=$name left"; n=$((n + 1)); done
    [ "$n" -ge 3 ] || wait_station station "Waiting ($n devices) " 1
done
# Verification fails; the device stays in its bootloader. It is pulled once
# the station has taken every event so far.
bench "plug 0 name=bad fault=stuck"
wait_station station "next unique ID (" 6
stations_idle station
bench "unplug 0"
wait_event "name=bad unplugged"
station_stop station
guest 'cp id.bin id.after-station'
say "station stopped"

# A slowed device answers each request SLOW_MS late, so that a signal or another
# station meets its pass; it speeds up once that has happened.
SLOW_MS=300
# ---- SIGTERM while the station writes a slowed device: it finishes the device, its ledger row and
# its image file, then exits. Started again on that ledger under the same name, it finds no hard ID
# to mark uncertain. A station never creates its ledger: korvofw-ledger does, in the guest.
ledger_init() {
    guest "korvofw-ledger $1 init"
    [ "$last_rc" = 0 ] || fail "the ledger $1 could not be created: $(cat "$last_out")"
}
head -c 40 /dev/zero | tr '\0' '\377' >"$share/id-stop.bin"
ledger_init /tmp/stop.db
station_start stop "-f fw.hex -e id-stop.bin -I 30 -r 0x8700 --ledger /tmp/stop.db"
bench "plug 0 name=sig slow=$SLOW_MS"
wait_station stop "Writing firmware... " 1
guest 'kill $(cat stop.pid)'
bench "slow 0 0"
wait_until '[ -s "$share/stop.status" ]' "the end of the station stopped during a pass"
station_start stop-again "-f fw.hex -e id-stop-again.bin -I 30 --ledger /tmp/stop.db"
station_stop stop-again
guest 'cp /tmp/stop.db . && { [ ! -f /tmp/stop.db-wal ] || cp /tmp/stop.db-wal .; }'
grep -q "name=sig left" "$out/events" || bench "unplug 0" # a station killed by the signal
say "a station stopped during a pass"

# ---- stations side by side, sharing one SQLite ledger on the guest's own
# file system (copied to the share at the end).
ledger_station() { # name, options
    head -c 40 /dev/zero | tr '\0' '\377' >"$share/id-$1.bin"
    station_start "$1" "-f fw.hex -e id-$1.bin -I 20 --ledger /tmp/line.db $2"
}
ledger_init /tmp/line.db
# Each on its own port of the hub: two devices plugged at once, both slowed
# until both stations are inside their passes.
for slot in 0 1; do ledger_station port$((slot + 1)) "--port $(slot_port $slot)"; done
bench "plug 0 name=pa slow=$SLOW_MS"
bench "plug 1 name=pb slow=$SLOW_MS"
for st in port1 port2; do wait_station $st "Writing firmware... " 1; done
for slot in 0 1; do bench "slow $slot 0"; done
for name in pa pb; do wait_event "name=$name left"; done
for st in port1 port2; do wait_station $st "Waiting (1 devices) " 1; done
station_stop port1 port2
say "pa and pb programmed side by side"
# Without --port, both take every device. Each one is programmed by the one station that claims it
# first; the other finds it in use or gone. The slowed one, q2, is met by the other station while
# the first holds it: its speed comes back once a station has said so of its bus and device number.
for st in line-a line-b; do ledger_station $st "--station $st"; done
bench "plug 0 name=q1"
wait_event "name=q1 left"
bench "plug 1 name=q2 slow=$SLOW_MS"
wait_event "name=q2 connected"
guest "for i in \$(seq 50); do cat /sys/bus/usb/devices/$(slot_port 1)/devnum 2>/dev/null && exit 0; sleep 0.1; done; exit 1"
[ "$last_rc" = 0 ] || fail "the guest never saw q2"
in_use="Device in use: bus $(slot_port 1 | cut -d- -f1), device $(cat "$last_out") "
wait_until 'cat "$share/line-a.err" "$share/line-b.err" | grep -q -F "$in_use"' "a station to find q2 in use"
bench "slow 1 0"
wait_event "name=q2 left"
bench "plug 0 name=q3"
wait_event "name=q3 left"
stations_settle line-a line-b
station_stop line-a line-b
guest 'cp /tmp/line.db . && { [ ! -f /tmp/line.db-wal ] || cp /tmp/line.db-wal .; }'
[ "$last_rc" = 0 ] || fail "the ledger could not be copied: $(cat "$last_out")"
say "q1, q2 and q3 programmed by two stations without --port"

# ---- dfu-programmer, then avrdude, against the same model, each device starting from flash with
# another image and EEPROM with a pattern no step writes.
awk 'BEGIN { for (i = 0; i < 1024; i++) printf "%c", (i * 7 + 3) % 256 }' >"$run/pattern.eeprom"
awk 'BEGIN { for (i = 0; i < 1024; i++) printf "%c", (i * 13 + 5) % 256 }' >"$share/avr.eeprom"
plug_for_client() {
    bench "plug 0 name=$1 flash=$repo/tests/data/avr/blink.bin eeprom=$run/pattern.eeprom"
    wait_event "name=$1 connected"
    guest 'for i in $(seq 50); do grep -qx 2fe4 /sys/bus/usb/devices/*/idProduct && exit 0; sleep 0.1; done; exit 1'
    [ "$last_rc" = 0 ] || fail "the guest never saw the device for $1"
}
# Has the front end save the device's files and keeps copies of them in $run
# as <device>.after-<label>.*
save_copies() {
    device=$1 saved=$(grep -c "name=$1 saved" "$out/events" || true)
    bench "save 0"
    wait_until '[ "$(grep -c "name=$device saved" "$out/events")" -gt "$saved" ]' "save of $1"
    for memory in flash eeprom log times; do cp "$out/$1.$memory" "$run/$1.after-$2.$memory"; done
}
plug_for_client dfu
# Runs dfu-programmer in the guest, timed, then saves the device's files.
dfu() {
    guest "t0=\$(cut -d' ' -f1 /proc/uptime); dfu-programmer atxmega32a4u $2 >dfu.out; rc=\$?; t1=\$(cut -d' ' -f1 /proc/uptime); echo \"\$t0 \$t1\" >dfu-$1.time; cat dfu.out; exit \$rc"
    [ "$last_rc" = 0 ] || fail "dfu-programmer $2 failed: $(cat "$last_out")"
    save_copies dfu "$1"
}
dfu erase erase
dfu flash "flash fw.hex"
grep -q "Validating" "$last_out" || fail "dfu-programmer flash did not validate: $(cat "$last_out")"
requests_flash=$(($(wc -l <"$run/dfu.after-flash.log") - $(wc -l <"$run/dfu.after-erase.log")))
for dump in dump dump-eeprom; do dfu $dump $dump; cp "$share/dfu.out" "$share/dfu-$dump.bin"; done
# More flash runs for the benchmark: one run's figure is noisy on an emulated machine.
for n in 2 3; do dfu flash$n "flash fw.hex"; done
guest "dfu-programmer atxmega32a4u start"
dfu_start_rc=$last_rc
dfu_start_text=$(tr '\n' ' ' <"$last_out" | tr -d "'")
wait_event "name=dfu left"

# avrdude's FLIP version 2 programmer on the ATxmega32A4U (03eb:2fe4): the
# flash written with its chip erase and verification; then, in one session,
# the flash and EEPROM read back and the EEPROM written and verified.
plug_for_client avr
avr() {
    guest "avrdude -c flip2 -p x32a4u $2 >avr-$1.out 2>&1; rc=\$?; tail -n 4 avr-$1.out; exit \$rc"
    [ "$last_rc" = 0 ] || fail "avrdude $2 failed: $(cat "$last_out")"
    save_copies avr "$1"
}
avr write "-U application:w:fw.hex:i"
avr eeprom "-U application:r:avr-flash.bin:r -U eeprom:r:avr-eeprom.bin:r -U eeprom:w:avr.eeprom:r"
bench "unplug 0"
wait_event "name=avr unplugged"

# ---- the rest of the family: the clients, the calibration and the station on other parts
. "$here/parts.sh"

guest 'dmesg >dmesg.txt'
kbench_stop
cat >"$run/facts" <<FACTS
slot_port0=$(slot_port 0)
slot_port1=$(slot_port 1)
requests_flash=$requests_flash
requests_before_dump_eeprom=$(wc -l <"$run/dfu.after-dump.log")
dfu_start_rc=$dfu_start_rc
dfu_start_text='$dfu_start_text'
$(cat "$run/parts.facts")
FACTS
say "run finished after $(($(date +%s) - started_at))s; checking"
sh "$here/check.sh" "$run"
sh "$repo/bench/kernel-figures.sh" "$run"

#!/bin/sh
# Whole-station tests through a real kernel. The unmodified station (the
# build's src/korvofw, real libusb 0.1 and libudev) runs in a QEMU guest with
# udevd; the bench's bootloader model is plugged into the guest's xHCI as real
# USB devices by korvo-usbredir. Then Debian's dfu-programmer is run against
# the same model. Everything is checked on the host afterwards; any mismatch
# ends the run with a message and a non-zero status.
#
# The station runs in the guest as
#   korvofw -f fw.hex -e id.bin -I 10 -r 0x8700
# with fw.hex = examples/fw.hex and id.bin starting as 40 bytes of 0xFF: an
# identity record with nothing set, long enough to hold the hard ID (bytes
# 23-24) and the RXaddr (bytes 26-27) the station writes back.
#
# Usage: run.sh <build-dir>    (korvofw and korvo-usbredir built in it)
# Leaves the run in <build-dir>/kernel/run: console.log, out/ (devices'
# files and events), share/ (the guest's files, station.out among them).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
build=$(cd "$1" && pwd)
frontend="$build/sim/korvo-usbredir"
WAIT_S=90 # longest wait for any one step

say() { echo "kernel bench: $*"; }
fail() {
    echo "kernel bench: FAIL: $*" >&2
    [ -f "$run/console.log" ] && { echo "--- guest console (tail)" >&2; tail -n 25 "$run/console.log" >&2; }
    [ -f "$out/events" ] && { echo "--- front end events (tail)" >&2; tail -n 15 "$out/events" >&2; }
    exit 1
}

command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is not installed"
command -v srec_cat >/dev/null || fail "srec_cat (srecord) is not installed"
[ -x "$frontend" ] || fail "$frontend is missing (is libusbredirparser-dev installed?)"
sh "$here/build-guest.sh" "$build" || fail "the guest image could not be built"

run="$build/kernel/run"
share="$run/share"
out="$run/out"
rm -rf "$run"
mkdir -p "$share/cmd" "$out"
cp "$here/guest.sh" "$share/guest.sh"
cp "$repo/examples/fw.hex" "$share/fw.hex"
head -c 40 /dev/zero | tr '\0' '\377' >"$share/id.bin"
srec_cat "$repo/examples/fw.hex" -intel -o "$run/fw.bin" -binary

# ---- front end and guest
frontend_pid=
qemu_pid=
cleanup() {
    exec 3>&- 2>/dev/null || true
    [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null || true
    [ -n "$frontend_pid" ] && kill "$frontend_pid" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 1' INT TERM

mkfifo "$run/commands"
"$frontend" "$out" "$run/slot0.sock" "$run/slot1.sock" <"$run/commands" >"$run/frontend.out" 2>&1 &
frontend_pid=$!
exec 3>"$run/commands"
for _ in $(seq 50); do
    [ -S "$run/slot1.sock" ] && break
    sleep 0.1
done
[ -S "$run/slot1.sock" ] || fail "korvo-usbredir did not start: $(cat "$run/frontend.out")"

started_at=$(date +%s)
qemu-system-x86_64 -machine q35 -accel tcg -smp 2 -m 512 -nographic -no-reboot \
    -kernel "$build/kernel/vmlinuz" -initrd "$build/kernel/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1" \
    -device qemu-xhci,id=xhci \
    -chardev socket,id=slot0,path="$run/slot0.sock",reconnect=1 \
    -device usb-redir,chardev=slot0,bus=xhci.0 \
    -chardev socket,id=slot1,path="$run/slot1.sock",reconnect=1 \
    -device usb-redir,chardev=slot1,bus=xhci.0 \
    -virtfs local,path="$share",mount_tag=share,security_model=none,id=share \
    </dev/null >"$run/console.log" 2>&1 &
qemu_pid=$!

# ---- helpers
# Runs a shell snippet in the guest (in /share); its output lands in $last_out.
guest_n=0
last_out=
guest() {
    printf '%s\n' "$1" >"$share/cmd/$guest_n.part"
    mv "$share/cmd/$guest_n.part" "$share/cmd/$guest_n.sh"
    waited=0
    while [ ! -f "$share/cmd/$guest_n.rc" ]; do
        kill -0 "$qemu_pid" 2>/dev/null || fail "QEMU ended while the guest ran: $1"
        [ "$waited" -lt $((WAIT_S * 10)) ] || fail "the guest did not finish in ${WAIT_S}s: $1"
        sleep 0.1
        waited=$((waited + 1))
    done
    last_out="$share/cmd/$guest_n.out"
    last_rc=$(cat "$share/cmd/$guest_n.rc")
    guest_n=$((guest_n + 1))
}

bench() { echo "$*" >&3; }

# Waits until the front end's events match the pattern.
wait_event() {
    waited=0
    until grep -q -- "$1" "$out/events" 2>/dev/null; do
        [ "$waited" -lt $((WAIT_S * 10)) ] || fail "no front end event \"$1\" within ${WAIT_S}s"
        sleep 0.1
        waited=$((waited + 1))
    done
}

# Lines of the station's output, carriage-return progress lines split apart.
station_lines() { tr '\r' '\n' <"$share/station.out"; }
count_lines() { station_lines | grep -c -F -- "$1" || true; }

# Waits until the station has printed the text at least n times.
wait_station() {
    waited=0
    until [ "$(count_lines "$1")" -ge "$2" ]; do
        [ "$waited" -lt $((WAIT_S * 10)) ] || fail "the station did not print \"$1\" $2 times within ${WAIT_S}s"
        sleep 0.1
        waited=$((waited + 1))
    done
}

# ---- boot
waited=0
until grep -q "init: guest ready" "$run/console.log" 2>/dev/null; do
    kill -0 "$qemu_pid" 2>/dev/null || fail "QEMU could not run (see console below)"
    [ "$waited" -lt 1200 ] || fail "the guest did not come up within 120s"
    sleep 0.1
    waited=$((waited + 1))
done
say "guest up after $(($(date +%s) - started_at))s"
guest 'uname -r'
[ "$last_rc" = 0 ] || fail "the guest does not run commands"

# ---- the station
guest 'korvofw -f fw.hex -e id.bin -I 10 -r 0x8700 >station.out 2>station.err & echo $! >station.pid'
wait_station "Waiting (0 devices) " 1

# One after another: each leaves the bus after its start, then the station
# names the next hard ID.
n=0
for name in st1 st2 st3; do
    n=$((n + 1))
    bench "plug 0 name=$name"
    wait_event "name=$name left"
    wait_station "next unique ID (" "$n"
    # Two "Waiting" lines (2 s apart) after the device: the station has also
    # taken the device's later udev events (bind, unbind, remove), which would
    # otherwise reach it while the next device sits on the same port.
    wait_station "Waiting ($n devices) " 2
    say "$name programmed"
done
# Two at once.
bench "plug 0 name=st4"
bench "plug 1 name=st5"
wait_event "name=st4 left"
wait_event "name=st5 left"
wait_station "next unique ID (" 5
wait_station "Waiting (5 devices) " 2
say "st4 and st5 programmed"
# One whose flash does not take: verification fails, it stays in its bootloader.
bench "plug 0 name=bad fault=stuck"
wait_station "Abort ********** " 1
wait_station "next unique ID (" 6
# Every arrival event for it is handled before it is pulled (udev reports
# both "add" and "bind" for a USB device): the station is settled once each
# attempt has ended and none began for 4 s (it sleeps 2.25 s between events).
settled=0
waited=0
while [ "$settled" -lt 40 ]; do
    [ "$waited" -lt $((WAIT_S * 10)) ] || fail "the station kept trying the failing device"
    if [ "$(count_lines "Loading Flash.")" = "$(count_lines "next unique ID (")" ]; then
        settled=$((settled + 1))
    else
        settled=0
    fi
    sleep 0.1
    waited=$((waited + 1))
done
bench "unplug 0"
wait_event "name=bad unplugged"
guest 'kill $(cat station.pid); sleep 0.3; cp id.bin id.after-station'
say "station stopped"

# ---- dfu-programmer against the same model
# Start contents that erase and dump must show: flash with another image,
# EEPROM with a pattern no step writes.
awk 'BEGIN { for (i = 0; i < 1024; i++) printf "%c", (i * 7 + 3) % 256 }' >"$run/pattern.eeprom"
bench "plug 0 name=dfu flash=$repo/tests/data/avr/blink.bin eeprom=$run/pattern.eeprom"
wait_event "name=dfu connected"
guest 'for i in $(seq 50); do grep -qx 2fe4 /sys/bus/usb/devices/*/idProduct && exit 0; sleep 0.1; done; exit 1'
[ "$last_rc" = 0 ] || fail "the guest never saw the device for dfu-programmer"
target=atxmega32a4u

# Writes the dfu device's files now and waits until they are written.
saves=0
save_dfu() {
    saves=$((saves + 1))
    bench "save 0"
    waited=0
    until [ "$(grep -c "name=dfu saved" "$out/events")" -ge "$saves" ]; do
        [ "$waited" -lt $((WAIT_S * 10)) ] || fail "the front end did not save the dfu device"
        sleep 0.1
        waited=$((waited + 1))
    done
}

guest "dfu-programmer $target erase"
[ "$last_rc" = 0 ] || fail "dfu-programmer erase failed: $(cat "$last_out")"
save_dfu
cp "$out/dfu.flash" "$run/dfu.after-erase.flash"
cp "$out/dfu.eeprom" "$run/dfu.after-erase.eeprom"
requests_before_flash=$(wc -l <"$out/dfu.log")

guest "t0=\$(cut -d' ' -f1 /proc/uptime); dfu-programmer $target flash fw.hex; rc=\$?; t1=\$(cut -d' ' -f1 /proc/uptime); echo \"\$t0 \$t1\" >dfu-flash.time; exit \$rc"
[ "$last_rc" = 0 ] || fail "dfu-programmer flash failed: $(cat "$last_out")"
grep -q "Validating" "$last_out" || fail "dfu-programmer flash did not validate: $(cat "$last_out")"
save_dfu
cp "$out/dfu.flash" "$run/dfu.after-flash.flash"
requests_flash=$(($(wc -l <"$out/dfu.log") - requests_before_flash))

guest "dfu-programmer $target dump >dfu-dump.bin"
[ "$last_rc" = 0 ] || fail "dfu-programmer dump failed: $(cat "$last_out")"
save_dfu
requests_before_dump_eeprom=$(wc -l <"$out/dfu.log")
guest "dfu-programmer $target dump-eeprom >dfu-dump-eeprom.bin"
[ "$last_rc" = 0 ] || fail "dfu-programmer dump-eeprom failed: $(cat "$last_out")"
save_dfu
cp "$out/dfu.log" "$run/dfu.before-start.log"
cp "$out/dfu.flash" "$run/dfu.before-start.flash"
cp "$out/dfu.eeprom" "$run/dfu.before-start.eeprom"
# More flash runs for the benchmark: one run's figure is noisy on an emulated machine.
for i in 2 3; do
    guest "t0=\$(cut -d' ' -f1 /proc/uptime); dfu-programmer $target flash fw.hex; rc=\$?; t1=\$(cut -d' ' -f1 /proc/uptime); echo \"\$t0 \$t1\" >>dfu-flash.time; exit \$rc"
    [ "$last_rc" = 0 ] || fail "dfu-programmer flash (run $i) failed: $(cat "$last_out")"
done
guest "dfu-programmer $target start"
dfu_start_rc=$last_rc
dfu_start_text=$(tr '\n' ' ' <"$last_out" | tr -d "'")
wait_event "name=dfu left"

# ---- end of the guest
guest 'dmesg >dmesg.txt'
touch "$share/cmd/end"
waited=0
while kill -0 "$qemu_pid" 2>/dev/null; do
    [ "$waited" -lt 600 ] || fail "the guest did not power off"
    sleep 0.1
    waited=$((waited + 1))
done
qemu_pid=
exec 3>&-
wait "$frontend_pid" || true
frontend_pid=

cat >"$run/facts" <<FACTS
requests_flash=$requests_flash
requests_before_dump_eeprom=$requests_before_dump_eeprom
dfu_start_rc=$dfu_start_rc
dfu_start_text='$dfu_start_text'
FACTS
say "run finished after $(($(date +%s) - started_at))s; checking"
exec sh "$here/check.sh" "$run"

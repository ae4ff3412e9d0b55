#!/bin/sh
# Checks a finished real-kernel bench run (run.sh writes it) and prints the
# benchmark figures. Usage: check.sh <run-dir>
set -eu
run=$1
share="$run/share"
out="$run/out"
. "$run/facts"

FLASH_SIZE=32768
EEPROM_SIZE=1024
ID_FILE_SIZE=40
FIRST_ID=$((0x10))
FIRST_RXADDR=$((0x8700))

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "kernel bench: ok: $*"; }
bad() { failed=$((failed + 1)); echo "kernel bench: MISMATCH: $*" >&2; }

erased_file() { head -c "$2" /dev/zero | tr '\0' '\377' >"$1"; }
put_byte() { printf "$(printf '\\%03o' "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null; }
byte_pair() { od -An -tu1 -j "$2" -N 2 "$1" | awk '{ print $1 * 256 + $2 }'; }
first_differences() { cmp -l "$1" "$2" 2>&1 | head -n 3 | tr '\n' ';'; }
hex4() { printf '%04X' "$1"; }

# The identity record as the station writes it over an erased start: byte 22
# cleared, the hard ID in bits 15..3 of bytes 23-24, the RXaddr in 26-27.
record() {
    erased_file "$1" "$2"
    put_byte "$1" 22 0
    put_byte "$1" 23 $((($3 >> 5) & 255))
    put_byte "$1" 24 $((($3 << 3) & 255))
    put_byte "$1" 26 $(($4 >> 8))
    put_byte "$1" 27 $(($4 & 255))
}

same() { # what, actual, expected
    if [ ! -f "$2" ]; then
        bad "$1: $2 is missing"
    elif cmp -s "$2" "$3"; then
        ok "$1"
    else
        bad "$1: $(basename "$2") differs from the expected bytes (offset, actual, expected in octal: $(first_differences "$2" "$3"))"
    fi
}

station_lines() { tr '\r' '\n' <"$share/station.out"; }
count_lines() { station_lines | grep -c -F -- "$1" || true; }
event_time() { awk -v name="name=$1" -v what="$2" '$3 == name && index($0, what) { print $1; exit }' "$out/events"; }

image="$run/expected.flash"
cp "$run/fw.bin" "$image"
image_size=$(wc -c <"$run/fw.bin")
head -c $((FLASH_SIZE - image_size)) /dev/zero | tr '\0' '\377' >>"$image"

# ---- station: the good devices
n=0
for name in st1 st2 st3 st4 st5; do
    same "$name flash holds fw.hex's image, the rest erased" "$out/$name.flash" "$image"
    if [ -f "$out/$name.eeprom" ]; then
        id=$(($(byte_pair "$out/$name.eeprom" 23) >> 3))
        # st4 and st5 arrive together, so either may be taken first.
        case $name in
        st4 | st5) [ "$id" = $((FIRST_ID + 3)) ] || [ "$id" = $((FIRST_ID + 4)) ] || id=$((FIRST_ID + n)) ;;
        *) id=$((FIRST_ID + n)) ;;
        esac
        record "$run/expected.$name.eeprom" "$EEPROM_SIZE" "$id" $((FIRST_RXADDR + id - FIRST_ID))
        same "$name EEPROM record: hard ID 0x$(hex4 "$id"), RXaddr 0x$(hex4 $((FIRST_RXADDR + id - FIRST_ID)))" \
            "$out/$name.eeprom" "$run/expected.$name.eeprom"
    fi
    grep -q "name=$name left" "$out/events" && ok "$name left the bus after its start" ||
        bad "$name never left the bus"
    n=$((n + 1))
done
if [ -f "$out/st4.eeprom" ] && [ -f "$out/st5.eeprom" ] && cmp -s "$out/st4.eeprom" "$out/st5.eeprom"; then
    bad "st4 and st5 got the same identity record"
fi

# ---- station: the failing device
aborts=$(count_lines "Abort ********** ")
erased_file "$run/erased.flash" "$FLASH_SIZE"
erased_file "$run/erased.eeprom" "$EEPROM_SIZE"
same "the failing device's flash stayed erased" "$out/bad.flash" "$run/erased.flash"
same "the failing device's EEPROM was not written" "$out/bad.eeprom" "$run/erased.eeprom"
grep -q -- "out=0403" "$out/bad.log" && bad "the failing device was started" ||
    ok "the failing device was not started"
grep -q "name=bad left" "$out/events" && bad "the failing device left the bus by itself" ||
    ok "the failing device stayed in its bootloader until pulled"
# Every arrival event the station takes for it is one more attempt: udev
# reports "add" and then "bind" for a USB device, and the station does not
# look at the action.
attempts=$(($(count_lines "Loading Flash.") - 5))
if [ "$aborts" -ge 1 ] && [ "$aborts" = "$attempts" ]; then
    ok "each of the $attempts attempts on the failing device ended in \"Abort ********** \""
else
    bad "$attempts attempts on the failing device, $aborts of them aborted"
fi

# ---- station: its output
[ "$(count_lines "Passed. ")" = 5 ] && ok "5 \"Passed. \" lines" ||
    bad "\"Passed. \" printed $(count_lines "Passed. ") times, expected 5"
[ "$(count_lines "Starting device.")" = 5 ] && ok "5 \"Starting device.\" lines" ||
    bad "\"Starting device.\" printed $(count_lines "Starting device.") times, expected 5"
expected_ids="0011 0012 0013 0014 0015"
for _ in $(seq "$aborts"); do expected_ids="$expected_ids 0015"; done
actual_ids=$(station_lines | sed -n 's/^next unique ID (\([0-9a-fA-F]*\)$/\1/p' | tr '\n' ' ' | sed 's/ $//')
[ "$actual_ids" = "$expected_ids" ] && ok "next unique IDs: $actual_ids" ||
    bad "next unique IDs were \"$actual_ids\", expected \"$expected_ids\""
waiting=$(station_lines | sed -n 's/^Waiting (\([0-9]*\) devices) .*/\1/p' | sort -n | uniq | tr '\n' ' ' | sed 's/ $//')
[ "$waiting" = "0 1 2 3 4 5" ] && ok "Waiting counts: $waiting (the failing device not counted)" ||
    bad "Waiting counts were \"$waiting\", expected \"0 1 2 3 4 5\""
[ -s "$share/station.err" ] && bad "the station wrote to stderr: $(head -c 300 "$share/station.err")" ||
    ok "the station wrote nothing to stderr"

# ---- the EEPROM image file after the run: next hard ID, RXaddr of the last attempt
# The station's rule: the low byte counts within the bits set in the high
# byte, one step per attempt, failed ones included.
last_rxaddr=$FIRST_RXADDR
for _ in $(seq $((4 + aborts))); do
    last_rxaddr=$(((last_rxaddr + 1) & ((last_rxaddr >> 8) | last_rxaddr)))
done
record "$run/expected.id.bin" "$ID_FILE_SIZE" $((FIRST_ID + 5)) "$last_rxaddr"
same "id.bin: next hard ID 0x$(hex4 $((FIRST_ID + 5))), RXaddr 0x$(hex4 "$last_rxaddr")" \
    "$share/id.after-station" "$run/expected.id.bin"

# ---- dfu-programmer against the model
same "erase: the model's flash is erased" "$run/dfu.after-erase.flash" "$run/erased.flash"
same "erase: the model's EEPROM kept its contents" "$run/dfu.after-erase.eeprom" "$run/pattern.eeprom"
same "flash: the model's flash holds fw.hex's image" "$run/dfu.after-flash.flash" "$image"
dump_size=$(wc -c <"$share/dfu-dump.bin")
head -c "$dump_size" "$run/dfu.before-start.flash" >"$run/model.dump"
if [ "$dump_size" -ge "$image_size" ]; then
    same "dump: $dump_size bytes equal the model's flash" "$share/dfu-dump.bin" "$run/model.dump"
else
    bad "dump gave $dump_size bytes, fewer than the image's $image_size"
fi
# dump-eeprom reads whatever memory unit it selected: 06 03 00 <unit>.
unit=$(tail -n +"$((requests_before_dump_eeprom + 1))" "$run/dfu.before-start.log" |
    sed -n 's/.* out=060300\(0[01]\).*/\1/p' | tail -n 1)
case $unit in
00) memory="$run/dfu.before-start.flash" unit_name=flash ;;
01) memory="$run/dfu.before-start.eeprom" unit_name=EEPROM ;;
*) memory= unit_name= ;;
esac
if [ -z "$memory" ]; then
    bad "dump-eeprom selected no known memory unit"
else
    ee_size=$(wc -c <"$share/dfu-dump-eeprom.bin")
    head -c "$ee_size" "$memory" >"$run/model.dump-eeprom"
    [ "$ee_size" -gt 0 ] || bad "dump-eeprom gave no bytes"
    same "dump-eeprom: $ee_size bytes equal the model's $unit_name, the unit it selected" \
        "$share/dfu-dump-eeprom.bin" "$run/model.dump-eeprom"
    [ "$unit" = 00 ] && echo "kernel bench: note: dfu-programmer selected memory unit 0 (flash) for dump-eeprom"
fi
same "the model's EEPROM still holds its start pattern" "$run/dfu.before-start.eeprom" "$run/pattern.eeprom"
if grep -q "name=dfu left" "$out/events" && grep -q -- "out=0403" "$out/dfu.log"; then
    ok "start: the device ran its application and left the bus (dfu-programmer exit $dfu_start_rc${dfu_start_text:+: $dfu_start_text})"
else
    bad "start: the device did not leave the bus after dfu-programmer start"
fi

# ---- benchmark: host-side cost and requests, the emulated bus has no timing of its own
echo "kernel bench: benchmark (emulated bus: host-side cost and request counts, not USB timing)"
sum=0
busy_sum=0
count=0
for name in st1 st2 st3; do
    plugged=$(event_time "$name" " plugged")
    first=$(event_time "$name" "first request")
    started=$(event_time "$name" " started")
    requests=$(sed -n "s/.*name=$name left requests=\([0-9]*\).*/\1/p" "$out/events")
    [ -n "$plugged" ] && [ -n "$started" ] || continue
    seconds=$(awk -v a="$plugged" -v b="$started" 'BEGIN { printf "%.3f", b - a }')
    busy=$(awk -v a="$first" -v b="$started" 'BEGIN { printf "%.3f", b - a }')
    printf 'kernel bench:   station %s: plug to "Starting device." %s s (first request to start %s s), %s requests\n' \
        "$name" "$seconds" "$busy" "$requests"
    sum=$(awk -v a="$sum" -v b="$seconds" 'BEGIN { print a + b }')
    busy_sum=$(awk -v a="$busy_sum" -v b="$busy" 'BEGIN { print a + b }')
    count=$((count + 1))
done
# Three runs of the same flash; the middle figure is compared.
dfu_seconds=$(awk '{ printf "%.2f\n", $2 - $1 }' "$share/dfu-flash.time" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
printf 'kernel bench:   dfu-programmer flash with verification: %s s median of %s (guest clock, 10 ms steps), %s requests each\n' \
    "$dfu_seconds" "$(awk '{ printf "%.2f ", $2 - $1 }' "$share/dfu-flash.time")" "$requests_flash"
if [ "$count" -gt 0 ]; then
    mean=$(awk -v s="$sum" -v n="$count" 'BEGIN { printf "%.3f", s / n }')
    ratio=$(awk -v a="$mean" -v b="$dfu_seconds" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')
    printf 'kernel bench:   station mean plug-to-start %s s / dfu-programmer flash %s s = %s\n' \
        "$mean" "$dfu_seconds" "$ratio"
    busy_mean=$(awk -v s="$busy_sum" -v n="$count" 'BEGIN { printf "%.3f", s / n }')
    busy_ratio=$(awk -v a="$busy_mean" -v b="$dfu_seconds" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')
    printf 'kernel bench:   station mean first-request-to-start %s s / dfu-programmer flash %s s = %s\n' \
        "$busy_mean" "$dfu_seconds" "$busy_ratio"
fi

echo "kernel bench: $passed passed, $failed failed"
[ "$failed" = 0 ]

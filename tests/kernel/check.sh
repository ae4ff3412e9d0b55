#!/bin/sh
# Checks a finished real-kernel bench run (run.sh writes it).
# Usage: check.sh <run-dir>
set -eu
run=$1 share=$1/share out=$1/out
. "$run/facts"

FLASH_SIZE=32768 EEPROM_SIZE=1024 FIRST_ID=$((0x10)) FIRST_RXADDR=$((0x8700))
passed=0 failed=0
ok() { passed=$((passed + 1)); echo "kernel bench: ok: $*"; }
bad() { failed=$((failed + 1)); echo "kernel bench: MISMATCH: $*" >&2; }
expect() { if eval "$2"; then ok "$1"; else bad "$1"; fi; } # what, then a shell test
erased() { head -c "$1" /dev/zero | tr '\0' '\377'; } # N erased bytes
put_byte() { printf "$(printf '\\%03o' "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null; }
hex4() { printf '%04X' "$1"; }

# The identity record as the station writes it over an erased start: byte 22
# cleared, the hard ID in bits 15..3 of bytes 23-24, the RXaddr (if any) in 26-27.
record() { # file, size, hard ID[, RXaddr]
    erased "$2" >"$1"
    for at in 22:0 23:$((($3 >> 5) & 255)) 24:$((($3 << 3) & 255)) ${4:+26:$(($4 >> 8)) 27:$(($4 & 255))}; do
        put_byte "$1" "${at%%:*}" "${at#*:}"
    done
}
hard_id_of() { echo $(($(od -An -tu1 -j 23 -N 2 "$1" | awk '{ print $1 * 256 + $2 }') >> 3)); }
same() { # what, actual, expected
    if [ ! -f "$2" ]; then
        bad "$1: $2 is missing"
    elif cmp -s "$2" "$3"; then
        ok "$1"
    else
        bad "$1: $(basename "$2") differs (offset, actual, expected in octal: $(cmp -l "$2" "$3" 2>&1 | head -n 3 | tr '\n' ';'))"
    fi
}
station_lines() { tr '\r' '\n' <"$share/station.out"; }
count_lines() { station_lines | grep -c -F -- "$1" || true; }
left() { grep -q "name=$1 left" "$out/events"; }

image="$run/expected.flash"
image_size=$(wc -c <"$run/fw.bin")
{ cat "$run/fw.bin"; erased $((FLASH_SIZE - image_size)); } >"$image"
erased "$FLASH_SIZE" >"$run/erased.flash"
erased "$EEPROM_SIZE" >"$run/erased.eeprom"

# ---- the station: the good devices, hard IDs in plug order (st4 and st5
# arrive together, so either may be taken first)
n=0
for name in st1 st2 st3 st4 st5; do
    same "$name flash holds fw.hex's image, the rest erased" "$out/$name.flash" "$image"
    id=$((FIRST_ID + n))
    if [ -f "$out/$name.eeprom" ] && [ "$name" = st4 -o "$name" = st5 ]; then
        held=$(hard_id_of "$out/$name.eeprom")
        [ "$held" = $((FIRST_ID + 3)) ] || [ "$held" = $((FIRST_ID + 4)) ] && id=$held
    fi
    rxaddr=$((FIRST_RXADDR + id - FIRST_ID))
    record "$run/expected.$name.eeprom" "$EEPROM_SIZE" "$id" "$rxaddr"
    same "$name EEPROM record: hard ID 0x$(hex4 "$id"), RXaddr 0x$(hex4 "$rxaddr")" \
        "$out/$name.eeprom" "$run/expected.$name.eeprom"
    expect "$name left the bus after its start" "left $name"
    n=$((n + 1))
done
expect "st4 and st5 got different records" '! cmp -s "$out/st4.eeprom" "$out/st5.eeprom"'

# ---- the station: the failing device
same "the failing device's flash stayed erased" "$out/bad.flash" "$run/erased.flash"
same "the failing device's EEPROM was not written" "$out/bad.eeprom" "$run/erased.eeprom"
expect "the failing device was not started" '! grep -q -- "out=0403" "$out/bad.log"'
expect "the failing device stayed in its bootloader until pulled" '! left bad'
# One pass (one flash select) on each device, whatever udev events came before.
for name in st1 st2 st3 st4 st5 bad; do
    passes=$(grep -c "out=060300000000 " "$out/$name.log" || true)
    expect "one pass on $name ($passes)" '[ "$passes" = 1 ]'
done
expect "one attempt ended in \"Abort ********** \"" '[ "$(count_lines "Abort ********** ")" = 1 ]'

# ---- the station: its output
for text in "Passed. " "Starting device."; do
    expect "5 \"$text\" lines (printed $(count_lines "$text"))" '[ "$(count_lines "$text")" = 5 ]'
done
ids=$(station_lines | sed -n 's/^next unique ID (\([0-9a-fA-F]*\)$/\1/p' | tr '\n' ' ' | sed 's/ $//')
expect "next unique IDs \"$ids\"" '[ "$ids" = "0011 0012 0013 0014 0015 0015" ]'
waiting=$(station_lines | sed -n 's/^Waiting (\([0-9]*\) devices) .*/\1/p' | sort -n | uniq | tr '\n' ' ' | sed 's/ $//')
expect "Waiting counts \"$waiting\" (the failing device not counted)" '[ "$waiting" = "0 1 2 3 4 5" ]'
expect "the station wrote nothing to stderr $(head -c 300 "$share/station.err")" '[ ! -s "$share/station.err" ]'

# ---- the EEPROM image file: next hard ID, the RXaddr of the failed attempt
record "$run/expected.id.bin" 40 $((FIRST_ID + 5)) $((FIRST_RXADDR + 5))
same "id.bin: next hard ID 0x$(hex4 $((FIRST_ID + 5))), RXaddr 0x$(hex4 $((FIRST_RXADDR + 5)))" \
    "$share/id.after-station" "$run/expected.id.bin"

# ---- every station stopped (SIGTERM) exited 0 and said so; the one stopped during a
# pass finished its device, row and image file, and left no hard ID in flight
for station in station stop stop-again port1 port2 line-a line-b; do
    result="$(cat "$share/$station.status") $(tail -n 1 "$share/$station.out")"
    expect "$station exited 0 after \"Stopped.\" ($result)" '[ "$result" = "0 Stopped." ]'
done
same "sig flash holds fw.hex's image" "$out/sig.flash" "$image"
record "$run/expected.sig.eeprom" "$EEPROM_SIZE" $((0x30)) "$FIRST_RXADDR"
same "sig EEPROM record: hard ID 0x0030" "$out/sig.eeprom" "$run/expected.sig.eeprom"
ending=$(tail -n 3 "$share/stop.out" | tr '\n' '|')
expect "sig started, then stop ended its pass and stopped ($ending)" \
    'left sig && [ "$ending" = "next unique ID (0031||Stopped.|" ]'
record "$run/expected.id-stop.bin" 40 $((0x31)) "$FIRST_RXADDR"
same "id-stop.bin names hard ID 0x0031" "$share/id-stop.bin" "$run/expected.id-stop.bin"
rows=$(sqlite3 -separator ' ' "$share/stop.db" "select a.state, a.id_state, a.hard_id, a.port,
    h.state from attempts a, hard_ids h")
expect "one ok row, hard ID 0x30 used, none uncertain after a restart ($rows)" \
    '[ "$rows" = "ok used 48 $slot_port0 used" ]'

# ---- stations side by side on one ledger (sqlite3 reads it, with its
# write-ahead log if one was left)
sql() { sqlite3 -separator ' ' "$share/line.db" "$1"; }
LEDGER_FIRST_ID=$((0x20))
# A device's ok rows, "station port hard_id arrived_ms ended_ms bus devnum",
# found by the record the device holds.
row_of() {
    written=$(od -An -v -tx1 -N 80 "$out/$1.eeprom" | tr -d ' \n' | tr a-f A-F)
    sql "select station, port, hard_id, arrived_ms, ended_ms, bus, devnum from attempts
         where state = 'ok' and hex(record_written) = '$written'"
}
station_max() { tr '\r' '\n' <"$share/$1.out" | sed -n 's/^Waiting (\([0-9]*\) devices) .*/\1/p' | sort -n | tail -n 1; }
ok_rows() { sql "select count(*) from attempts where state = 'ok' and station = '$1'"; }
for name in pa pb q1 q2 q3; do
    same "$name flash holds fw.hex's image" "$out/$name.flash" "$image"
    id=$(hard_id_of "$out/$name.eeprom")
    record "$run/expected.$name.eeprom" "$EEPROM_SIZE" "$id"
    same "$name EEPROM: a record with hard ID 0x$(hex4 "$id")" "$out/$name.eeprom" "$run/expected.$name.eeprom"
    row=$(row_of "$name")
    expect "$name has one ok row, with its record and hard ID ($row)" \
        '[ "$(echo "$row" | wc -l)" = 1 ] && [ "$(echo "$row" | cut -d" " -f3)" = "$id" ]'
    echo "$row" >"$run/row.$name"
done
read -r a_station a_port a_id a_arrived a_ended _ <"$run/row.pa"
read -r b_station b_port b_id b_arrived b_ended _ <"$run/row.pb"
expect "pa and pb by the stations of their ports, named after the host" \
    '[ "$a_station $a_port $b_station $b_port" = "kbench:$slot_port0 $slot_port0 kbench:$slot_port1 $slot_port1" ]'
expect "pa and pb got hard IDs 0x20 and 0x21 ($a_id, $b_id)" \
    '[ $((a_id + b_id)) = $((2 * LEDGER_FIRST_ID + 1)) ] && [ "$a_id" != "$b_id" ]'
expect "the passes of pa and pb overlap in time ([$a_arrived, $a_ended] and [$b_arrived, $b_ended] ms)" \
    '[ "$a_arrived" -lt "$b_ended" ] && [ "$b_arrived" -lt "$a_ended" ]'
# Each file names the ledger's lowest free hard ID when the station's pass
# ended: the other station held the other of 0x20 and 0x21 by then.
record "$run/expected.id-port.bin" 40 $((LEDGER_FIRST_ID + 2))
for port in 1 2; do
    expect "port$port counted 1 device and wrote nothing to stderr" \
        '[ "$(station_max port$port)" = 1 ] && [ ! -s "$share/port$port.err" ]'
    same "id-port$port.bin names hard ID 0x$(hex4 $((LEDGER_FIRST_ID + 2)))" \
        "$share/id-port$port.bin" "$run/expected.id-port.bin"
done
for station in line-a line-b; do
    expect "$station counted $(station_max $station) devices, as many as its ok rows" \
        '[ "$(station_max $station)" = "$(ok_rows $station)" ]'
done
expect "line-a and line-b programmed q1, q2 and q3 between them" \
    '[ $(($(ok_rows line-a) + $(ok_rows line-b))) = 3 ]'
ids=$(sql "select count(distinct hard_id) || ' ' || min(hard_id) from attempts where state = 'ok'")
expect "five devices, five hard IDs, none below 0x20 ($ids)" '[ "$ids" = "5 $LEDGER_FIRST_ID" ]'
held=$(sql "select count(*) from attempts where state <> 'ok' and id_state <> 'released'")
expect "every attempt that failed released its hard ID ($held did not)" '[ "$held" = 0 ]'
ledger_ids=$(sql "select state, count(*) from hard_ids group by state")
expect "the ledger holds five used hard IDs and nothing else ($ledger_ids)" '[ "$ledger_ids" = "used 5" ]'
untimed=$(sql "select count(*) from attempts where state = 'ok' and flash_ms <= 0")
expect "every ok row has the time of its flash phase ($untimed has not)" '[ "$untimed" = 0 ]'
read -r q_station _ _ q_arrived q_ended q_bus q_devnum <"$run/row.q2"
met=$(sql "select station from attempts where bus = $q_bus and devnum = $q_devnum
           and station <> '$q_station' and message = 'In use by another program'
           and ended_ms between $q_arrived and $q_ended")
expect "q2 was met in use by the other station ($met) while $q_station held it" '[ -n "$met" ]'
# The other station found a device in use, or gone when it came to it.
expect "line-a and line-b wrote only \"Device in use\" and \"Device not found\" lines to stderr" \
    '! cat "$share/line-a.err" "$share/line-b.err" | grep -v -e "^Device in use: " -e "^Device not found: "'

# ---- dfu-programmer against the model
final="$run/dfu.after-dump-eeprom"
same "erase: the model's flash is erased" "$run/dfu.after-erase.flash" "$run/erased.flash"
same "erase: the model's EEPROM kept its contents" "$run/dfu.after-erase.eeprom" "$run/pattern.eeprom"
same "flash: the model's flash holds fw.hex's image" "$run/dfu.after-flash.flash" "$image"
dump_size=$(wc -c <"$share/dfu-dump.bin")
head -c "$dump_size" "$final.flash" >"$run/model.dump"
expect "dump gave $dump_size bytes, at least the image's $image_size" '[ "$dump_size" -ge "$image_size" ]'
same "dump: equal to the model's flash" "$share/dfu-dump.bin" "$run/model.dump"
# dump-eeprom reads whatever memory unit it selected: 06 03 00 <unit>.
unit=$(tail -n +"$((requests_before_dump_eeprom + 1))" "$final.log" | sed -n 's/.* out=060300\(0[01]\).*/\1/p' | tail -n 1)
memory=$([ "$unit" = 00 ] && echo flash || echo eeprom)
ee_size=$(wc -c <"$share/dfu-dump-eeprom.bin")
head -c "$ee_size" "$final.$memory" >"$run/model.dump-eeprom"
expect "dump-eeprom selected memory unit 0 or 1 (\"$unit\") and gave bytes" \
    '[ "$unit" = 00 -o "$unit" = 01 ] && [ "$ee_size" -gt 0 ]'
same "dump-eeprom: $ee_size bytes equal the model's $memory, the unit it selected" \
    "$share/dfu-dump-eeprom.bin" "$run/model.dump-eeprom"
same "the model's EEPROM still holds its start pattern" "$final.eeprom" "$run/pattern.eeprom"
expect "start: the device ran its application and left the bus (dfu-programmer exit $dfu_start_rc${dfu_start_text:+: $dfu_start_text})" \
    'left dfu && grep -q -- "out=0403" "$out/dfu.log"'

# ---- avrdude against the model. Its reads leave out trailing erased bytes.
padded() { # file, size: the file filled up with erased bytes as <file>.padded
    [ -f "$1" ] || return 0
    { cat "$1"; erased $(($2 - $(wc -c <"$1"))); } >"$1.padded"
}
avr_says() { grep -q -F -- "$2" "$share/avr-$1.out"; }
same "avrdude write: the model's flash holds fw.hex's image" "$run/avr.after-write.flash" "$image"
same "avrdude write: its chip erase kept the model's EEPROM" "$run/avr.after-write.eeprom" "$run/pattern.eeprom"
expect "avrdude verified the flash it wrote" 'avr_says write "$image_size bytes of application verified"'
padded "$share/avr-flash.bin" "$FLASH_SIZE"
same "avrdude's flash read equals the model's flash" "$share/avr-flash.bin.padded" "$run/avr.after-write.flash"
padded "$share/avr-eeprom.bin" "$EEPROM_SIZE"
same "avrdude's EEPROM read equals the model's EEPROM" "$share/avr-eeprom.bin.padded" "$run/pattern.eeprom"
same "avrdude EEPROM write: the model's EEPROM holds the file" "$run/avr.after-eeprom.eeprom" "$share/avr.eeprom"
same "avrdude EEPROM write: the model's flash is unchanged" "$run/avr.after-eeprom.flash" "$image"
expect "avrdude verified the EEPROM it wrote" 'avr_says eeprom "$EEPROM_SIZE bytes of eeprom verified"'

# ---- the rest of the family
. "$(dirname "$0")/check-parts.sh"

# The stations claim the DFU interface before their first request, so the kernel never has
# to claim it for them (and say so).
expect "the kernel logged no request of korvofw on an unclaimed interface" \
    '[ -s "$share/dmesg.txt" ] && ! grep -q "(korvofw) did not claim interface" "$share/dmesg.txt"'

echo "kernel bench: $passed passed, $failed failed"
[ "$failed" = 0 ]

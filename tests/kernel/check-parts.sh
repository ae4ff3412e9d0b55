#!/bin/sh
# Checks of the rest of the family (parts.sh), sourced by check.sh with its helpers and facts.

# What each part presents: vendor, product, device class, EP0, interface class, subclass and
# protocol, product string. The megaAVR parts report no device class and 32-byte packets, the
# XMEGA ones a vendor-specific interface and 64-byte packets.
LOOKS="atmega32u4:03eb 2ff4 00 32 fe 01 02 ATmega32U4 DFU
at90usb1286:03eb 2ffb 00 32 fe 01 02 AT90USB1286 DFU
atxmega128a4u:03eb 2fde 00 64 ff 00 00 ATxmega128A4U DFU
atxmega32a4u:03eb 2fe4 00 64 ff 00 00 ATxmega32A4U DFU"
# The 64 KiB page 1 select, as each client sends it.
SELECT_PAGE_1="1:060001 06030001
2:0603010001 0603010001"
EEPROM_WRITE_SIZE=256
REFUSED_STATUS=030000000a00 # errWRITE, dfuERROR: a locked megaAVR's status after a refusal

looks_of() { echo "$LOOKS" | sed -n "s/^$1://p"; }
region() { # file, first, length: prints the name of a file in the run holding those bytes
    tail -c +"$(($2 + 1))" "$1" | head -c "$3" >"$run/region.$(basename "$1").$2"
    echo "$run/region.$(basename "$1").$2"
}
data_bytes() { # the data bytes of an Intel HEX file
    awk '/^:/ && substr($0, 8, 2) == "00" { n += index("0123456789ABCDEF", substr($0, 2, 1)) * 16 + index("0123456789ABCDEF", substr($0, 3, 1)) - 17 } END { print n }' "$1"
}
result_of() { cat "$run/$1.result"; } # "<exit status> <messages>"
busy_of() { sed -n "s/.* name=$1 left requests=[0-9]* busy_us=\([0-9]*\)$/\1/p" "$out/events"; }
since_first_request() { # seconds from the device's first request to its start
    awk -v name="name=$1" '$3 == name && / first request$/ { a = $1 } $3 == name && / started$/ { b = $1 }
        END { printf "%d", (b - a) * 1000000 }' "$out/events"
}

# ---- refused plugs, each named in the events with what was wrong
known=$(tr '\n' ',' <"$run/part-names" | sed 's/,$//; s/,/, /g')
eval "set -- \$atmega32u4"
too_big=$(cd "$run" && pwd)/too-big.bin # as the front end was given it
refusals=$(sed -n 's/^[0-9.]* slot=0 name=- error: //p' "$out/events" | tr '\n' '|')
expected_refusals="unknown part 'atmega99' (known: $known) in \"plug 0 part=atmega99 name=nothing\"|\
$too_big ($(($3 + 1)) bytes) does not fit atmega32u4's flash ($3 bytes) in \"plug 0 part=atmega32u4 name=nothing flash=$too_big\"|"
expect "the front end refused an unknown part and a flash file too large, naming them ($refusals)" \
    '[ "$refusals" = "$expected_refusals" ]'

for part in $client_parts; do
    eval "set -- \$$part"
    protocol=$1 flash=$3 bootloader=$4 application=$5 eeprom=$6 avr_memory=$7
    dfu=$run/dfu-$part avr=$run/avr-$part start_eeprom=$run/$part.eeprom
    # the EEPROM after a client's write: ee.bin over the start pattern
    { cat "$share/ee.bin"; tail -c +$((EEPROM_WRITE_SIZE + 1)) "$start_eeprom"; } >"$run/$part.eeprom-written"
    erased "$application" >"$run/$part.erased"
    boot_region=$(region "$dfu.after-plug.flash" "$application" $((flash - application)))

    for device in dfu avr; do
        looks=$(cat "$run/$device-$part.looks")
        expect "$part ($device) presents \"$(looks_of "$part")\" ($looks)" '[ "$looks" = "$(looks_of "$part")" ]'
    done

    # dfu-programmer: erase, flash with its validation, dump, EEPROM flash and dump
    expect "dfu-programmer $part: erase, flash, dump and dump-eeprom exit 0" \
        '[ "$(cut -c1 "$dfu.erase.result" "$dfu.flash.result" "$dfu.dump.result" "$dfu.dump-eeprom.result" | tr -d "\n")" = 0000 ]'
    same "dfu-programmer $part erase: the application flash is erased" \
        "$(region "$dfu.after-erase.flash" 0 "$application")" "$run/$part.erased"
    same "dfu-programmer $part erase: the EEPROM is kept" "$dfu.after-erase.eeprom" "$start_eeprom"
    expect "dfu-programmer $part flash validated ($(result_of "dfu-$part.flash"))" \
        'grep -q "^0 Validating\.\.\. $(data_bytes "$share/$part-dfu.hex") bytes used" "$dfu.flash.result"'
    same "dfu-programmer $part flash: the application flash holds the image" \
        "$(region "$dfu.after-flash.flash" 0 "$application")" "$run/$part-dfu.image"
    for step in erase flash dump-eeprom; do
        same "dfu-programmer $part $step: the bootloader's flash is untouched" \
            "$(region "$dfu.after-$step.flash" "$application" $((flash - application)))" "$boot_region"
    done
    # dfu-programmer dumps the flash below the bootloader as it sees it (the flash less the
    # bootloader's size, on XMEGA parts too).
    same "dfu-programmer $part dump: the model's flash below $((flash - bootloader))" \
        "$share/dfu-$part-dump.out" "$(region "$dfu.after-dump.flash" 0 $((flash - bootloader)))"
    if [ "$protocol" = 1 ]; then
        expect "dfu-programmer $part flash-eeprom validated ($(result_of "dfu-$part.flash-eeprom"))" \
            'grep -q "^0 Validating\.\.\. $EEPROM_WRITE_SIZE bytes used" "$dfu.flash-eeprom.result"'
        same "dfu-programmer $part flash-eeprom: the model's EEPROM holds ee.hex" \
            "$dfu.after-flash-eeprom.eeprom" "$run/$part.eeprom-written"
        same "dfu-programmer $part dump-eeprom: the model's EEPROM" \
            "$share/dfu-$part-dump-eeprom.out" "$dfu.after-dump-eeprom.eeprom"
    else
        # 0.6.1 sends the protocol-1 EEPROM program command (01 01) with the flash unit
        # selected; the XMEGA bootloader knows 01 00 only, on the selected unit.
        expect "dfu-programmer $part flash-eeprom is refused ($(result_of "dfu-$part.flash-eeprom"))" \
            '[ "$(result_of "dfu-$part.flash-eeprom")" = "1 Error while programming eeprom. " ] &&
             grep -q " out=0101" "$dfu.after-flash-eeprom.log"'
        same "dfu-programmer $part flash-eeprom: the model's EEPROM is kept" \
            "$dfu.after-flash-eeprom.eeprom" "$start_eeprom"
        same "dfu-programmer $part flash-eeprom: the model's flash is kept" \
            "$dfu.after-flash-eeprom.flash" "$dfu.after-dump.flash"
        # Its dump-eeprom reads the unit it selected, the flash.
        dumped=$(wc -c <"$share/dfu-$part-dump-eeprom.out")
        expect "dfu-programmer $part dump-eeprom selected the flash unit" \
            '[ "$(sed -n "s/.* out=060300\(0[0-9]\) .*/\1/p" "$dfu.after-dump-eeprom.log" | tail -n 1)" = 00 ]'
        same "dfu-programmer $part dump-eeprom: the model's flash, the unit it selected" \
            "$share/dfu-$part-dump-eeprom.out" "$(region "$dfu.after-dump-eeprom.flash" 0 "$dumped")"
    fi

    # A megaAVR's lock: avrdude's read of a device just plugged, without a chip erase, is
    # refused at its first page select; it asks the status (which it does not print).
    if [ "$protocol" = 1 ]; then
        locked=$run/locked-$part
        expect "avrdude's read of a locked $part fails" '[ "$(cat "$locked.result")" = 1 ] &&
            grep -q "^avrdude error: unable to read all of flash memory" "$share/locked-$part.out"'
        refusal=$(grep -A1 " rc=-32$" "$locked.after-read.log" | head -n 2 | sed -n 's/.* out=\([0-9a-f]*\) .*/\1/p; s/.* in=\([0-9a-f]*\) .*/\1/p' | tr '\n' ' ')
        expect "the locked $part refused the page select, then said errWRITE in dfuERROR ($refusal)" \
            '[ "$refusal" = "060000 $REFUSED_STATUS " ]'
        same "the locked $part kept its flash" "$locked.after-read.flash" "$locked.after-plug.flash"
    fi

    # avrdude: write with its erase and verification, read back, EEPROM read and write
    same "avrdude $part write: the application flash holds the image" \
        "$(region "$avr.after-write.flash" 0 "$application")" "$run/$part.image"
    same "avrdude $part write: the bootloader's flash is untouched" \
        "$(region "$avr.after-write.flash" "$application" $((flash - application)))" "$boot_region"
    same "avrdude $part write: its chip erase kept the EEPROM" "$avr.after-write.eeprom" "$start_eeprom"
    expect "avrdude $part verified its $(data_bytes "$share/$part.hex") bytes" \
        'grep -q "^avrdude: $(data_bytes "$share/$part.hex") bytes of $avr_memory verified" "$share/avr-$part-write.out"'
    # Its reads leave out trailing erased bytes; a megaAVR's "flash" is all of it.
    read_size=$([ "$protocol" = 1 ] && echo "$flash" || echo "$application")
    padded "$share/avr-$part-flash.bin" "$read_size"
    same "avrdude $part's $avr_memory read: the model's flash" "$share/avr-$part-flash.bin.padded" \
        "$(region "$avr.after-write.flash" 0 "$read_size")"
    padded "$share/avr-$part-eeprom.bin" "$eeprom"
    same "avrdude $part's EEPROM read: the model's EEPROM" "$share/avr-$part-eeprom.bin.padded" "$start_eeprom"
    same "avrdude $part EEPROM write: the model's EEPROM holds ee.bin" "$avr.after-eeprom.eeprom" \
        "$run/$part.eeprom-written"
    same "avrdude $part EEPROM write: the flash is unchanged" "$avr.after-eeprom.flash" "$avr.after-write.flash"
    expect "avrdude $part verified the EEPROM it wrote" \
        'grep -q "^avrdude: $EEPROM_WRITE_SIZE bytes of eeprom verified" "$share/avr-$part-eeprom.out"'
    complaints=$(cat "$share/avr-$part-write.out" "$share/avr-$part-eeprom.out" | grep -i -e warning -e error | sort -u | tr '\n' '|')
    expected_complaints=
    [ "$protocol" = 2 ] ||
        expected_complaints="avrdude warning: USB bDeviceClass = 0 (expected 254)|avrdude warning: USB bDeviceSubClass = 0 (expected 1)|"
    expect "avrdude $part complained of nothing but what the model follows the parts in (${complaints:-nothing})" \
        '[ "$complaints" = "$expected_complaints" ]'

    # Page 1 of a part above 64 KiB, as each client selects it
    if [ "$flash" -gt $((0x10000)) ]; then
        selects=$(echo "$SELECT_PAGE_1" | sed -n "s/^$protocol://p")
        # avrdude's flip2 pads its commands with zeros to 6 bytes.
        sent="$(grep -c -E " out=${selects% *}(00)* " "$avr.after-write.log" || true) $(grep -c -E " out=${selects#* }(00)* " "$dfu.after-flash.log" || true)"
        expect "avrdude and dfu-programmer select page 1 of $part with ${selects% *} and ${selects#* } (sent $sent times)" \
            '[ "${sent% *}" -gt 0 ] && [ "${sent#* }" -gt 0 ]'
    fi
done

# ---- the calibration image, as avrdude wrote and verified it
erased $((FLASH_SIZE - $(wc -c <"$run/calibration.bin"))) | cat "$run/calibration.bin" - >"$run/calibration.image"
same "calibration: the model's flash holds the 29,166-byte image" "$run/cal.after-write.flash" "$run/calibration.image"
expect "calibration: avrdude verified it" 'grep -q "^avrdude: 29166 bytes of application verified" "$share/avr-cal.out"'
expect "atxmega32a4u presents \"$(looks_of atxmega32a4u)\"" '[ "$(cat "$run/cal.looks")" = "$(looks_of atxmega32a4u)" ]'

# ---- the station on a megaAVR and on an XMEGA above 64 KiB, with one ledger
expect "the atmega32u4 station passed over an atxmega32a4u (no request)" \
    'grep -q " name=other unplugged requests=0 " "$out/events"'
expect "the XMEGA station's image has extended segment address records" \
    'grep -q "^:02000002" "$share/atxmega128a4u-segments.hex" && ! grep -q "^:02000004" "$share/atxmega128a4u-segments.hex"'
ledger_rows=
hard_id=$((0x40))
for station in mega:atmega32u4 xmega:atxmega128a4u; do
    name=${station%%:*} part=${station#*:}
    eval "set -- \$$part"
    flash=$3 application=$5 eeprom=$6
    device=$out/$name-dev
    same "$name-dev: the application flash holds the image, erased elsewhere" \
        "$(region "$device.flash" 0 "$application")" "$run/$part.image"
    same "$name-dev: the bootloader's flash is untouched" \
        "$(region "$device.flash" "$application" $((flash - application)))" \
        "$(region "$run/dfu-$part.after-plug.flash" "$application" $((flash - application)))"
    record "$run/expected.$name.eeprom" "$eeprom" "$hard_id"
    same "$name-dev EEPROM: a record with hard ID 0x$(hex4 "$hard_id")" "$device.eeprom" "$run/expected.$name.eeprom"
    lines=$(tr '\r' '\n' <"$share/$name.out")
    counts=$(for text in "Erasing chip... done in " "Passed. " "Starting device."; do
        echo "$lines" | grep -c -F -- "$text"
    done | tr '\n' ' ')
    expect "$name erased, passed and started once ($counts)" '[ "$counts" = "1 1 1 " ]'
    result="$(cat "$share/$name.status") $(tail -n 1 "$share/$name.out") $(wc -c <"$share/$name.err")"
    expect "$name exited 0 after \"Stopped.\", nothing on stderr ($result)" '[ "$result" = "0 Stopped. 0" ]'
    erase_ms=$(echo "$lines" | sed -n 's/.*Erasing chip\.\.\. done in \([0-9]*\) ms\..*/\1/p')
    ledger_rows="$ledger_rows$name $part ok $hard_id $slot_port0 $erase_ms|"
    # The front end answers each request the part is busy with that much later.
    busy=$(busy_of "$name-dev") pass=$(since_first_request "$name-dev")
    expect "$name-dev: the part was busy ${busy} us of its ${pass} us pass" \
        '[ "${busy:-0}" -gt 0 ] && [ "$pass" -ge "$busy" ]'
    hard_id=$((hard_id + 1))
done
rows=$(sqlite3 -separator ' ' "$share/parts.db" "select station, part, state, hard_id, port, erase_ms from attempts
    order by row_id" | tr '\n' '|')
expect "the ledger names the parts and their erase times ($rows)" '[ "$rows" = "$ledger_rows" ]'

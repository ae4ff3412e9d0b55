#!/bin/sh
# The rest of the family on the real-kernel bench, sourced by run.sh inside its guest session:
# how each part presents itself on the bus; dfu-programmer and avrdude on a megaAVR, a megaAVR
# above 64 KiB and an XMEGA above 64 KiB; avrdude's write and verification of a 29,166-byte
# image on the atxmega32a4u, for the model's calibration; the station itself on a megaAVR and on
# an XMEGA above 64 KiB, with a ledger. check-parts.sh checks it all, bench/kernel-figures.sh
# prints the calibration.

# The parts the clients run on, with avrdude's programmer, part and memory for each.
CLIENT_PARTS="atmega32u4:flip1:m32u4:flash at90usb1286:flip1:usb1286:flash atxmega128a4u:flip2:x128a4u:application"
EEPROM_WRITE_SIZE=256 # bytes the clients write to the EEPROM: a megaAVR writes one at a time
CALIBRATION_BYTES=29166

pattern() { # bytes, multiplier, offset: a pattern no step writes by accident
    awk -v n="$1" -v m="$2" -v o="$3" 'BEGIN { for (i = 0; i < n; i++) printf "%c", (i * m + o) % 256 }'
}
# The part's image, <part>.hex in the share: fw.hex at 0, a block across the first 64 KiB
# boundary where the application reaches past it, and a block ending at the application's last
# byte. <part>.image in the run is what the application flash holds after it, erased elsewhere.
# dfu-programmer takes the bootloader's size off every part's flash, an XMEGA's too, and
# refuses an image that reaches into what it takes for the bootloader; its image,
# <part>-dfu.hex, ends there.
part_image() { # image name, end (the part's facts read)
    pattern 512 11 1 >"$run/high.bin"
    pattern 384 17 9 >"$run/top.bin"
    across=
    [ "$2" -le $((0x10000)) ] || across="$run/high.bin -binary -offset $((0x10000 - 256))"
    # shellcheck disable=SC2086 # the block's srec_cat words
    srec_cat "$repo/examples/fw.hex" -intel $across "$run/top.bin" -binary -offset $(($2 - 384)) \
        -o "$share/$1.hex" -intel
    srec_cat "$share/$1.hex" -intel -fill 0xFF 0 "$part_application" -o "$run/$1.image" -binary
}
# The same image with extended segment address records (02) in place of the extended linear
# address records (04) srec_cat writes; both place data alike below 1 MiB.
segment_records() {
    awk 'function hex(s,  i, v) { v = 0; for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789ABCDEF", toupper(substr(s, i, 1))) - 1; return v }
         /^:02000004/ { segment = hex(substr($0, 10, 4)) * 4096
                        sum = 2 + 2 + int(segment / 256) + segment % 256
                        printf ":02000002%04X%02X\n", segment, (256 - sum % 256) % 256; next }
         { print }' "$1"
}
# Plugs a device on slot 0 with flash and EEPROM that no step writes, waits for the guest to
# see it and keeps what it presents (product, class, EP0, interface, product string) in
# $run/<name>.looks and its memories as <name>.after-plug.*.
plug_part() { # part, device name
    part_facts "$1"
    pattern "$part_eeprom" 7 3 >"$run/$1.eeprom"
    bench "plug 0 part=$1 name=$2 flash=$repo/tests/data/avr/blink.bin eeprom=$run/$1.eeprom"
    guest_sees 0 "$2"
    device=/sys/bus/usb/devices/$(slot_port 0)
    guest "cd $device && echo \$(cat idVendor idProduct bDeviceClass bMaxPacketSize0 $device:1.0/bInterfaceClass \
        $device:1.0/bInterfaceSubClass $device:1.0/bInterfaceProtocol) \$(cat product)"
    [ "$last_rc" = 0 ] || fail "the guest cannot read what $2 presents: $(cat "$last_out")"
    cp "$last_out" "$run/$2.looks"
    save_copies "$2" plug
}
unplug_part() {
    bench "unplug 0"
    wait_event "name=$1 unplugged"
}

# ---- plugs the front end refuses, the slot staying empty: a part it does not know, a flash file
# larger than the part's flash
part_facts atmega32u4
head -c $((part_flash + 1)) /dev/zero >"$run/too-big.bin"
bench "plug 0 part=atmega99 name=nothing"
bench "plug 0 part=atmega32u4 name=nothing flash=$run/too-big.bin"
wait_until '[ "$(grep -c " error: " "$out/events")" -ge 2 ]' "the front end's refusals"
"$build/src/korvofw" --list-parts | awk '$2 ~ /^03eb:/ { print $1 }' >"$run/part-names"

# ---- dfu-programmer and avrdude on each part
pattern "$EEPROM_WRITE_SIZE" 5 7 >"$share/ee.bin"
srec_cat "$share/ee.bin" -binary -o "$share/ee.hex" -intel
echo "client_parts=\"$(echo " $CLIENT_PARTS" | sed 's/:[^ ]*//g')\"" >"$run/parts.facts"
for client in $CLIENT_PARTS; do
    IFS=: read -r part programmer avr_part avr_memory <<EOF
$client
EOF
    part_facts "$part"
    part_image "$part" "$part_application"
    part_image "$part-dfu" $((part_flash - part_bootloader))
    # A megaAVR refuses every read until a chip erase: avrdude's read without one fails.
    if [ "$part_protocol" = 1 ]; then
        plug_part "$part" "locked-$part"
        guest "avrdude -c $programmer -p $avr_part -D -U flash:r:locked-$part.bin:r >locked-$part.out 2>&1"
        echo "$last_rc" >"$run/locked-$part.result"
        save_copies "locked-$part" read
        unplug_part "locked-$part"
    fi
    plug_part "$part" "dfu-$part"
    for step in erase "flash $part-dfu.hex" dump flash-eeprom dump-eeprom; do
        set -- $step
        [ "$1" = flash-eeprom ] && set -- flash-eeprom ee.hex
        guest "dfu-programmer $part $* >dfu-$part-$1.out"
        echo "$last_rc $(tr '\n' ' ' <"$last_out")" >"$run/dfu-$part.$1.result"
        save_copies "dfu-$part" "$1"
    done
    unplug_part "dfu-$part"
    plug_part "$part" "avr-$part"
    for step in "write -U $avr_memory:w:$part.hex:i" \
        "eeprom -U $avr_memory:r:avr-$part-flash.bin:r -U eeprom:r:avr-$part-eeprom.bin:r -U eeprom:w:ee.bin:r"; do
        set -- $step
        label=$1
        shift
        guest "avrdude -c $programmer -p $avr_part $* >avr-$part-$label.out 2>&1"
        [ "$last_rc" = 0 ] || fail "avrdude $* on $part failed: $(cat "$share/avr-$part-$label.out")"
        save_copies "avr-$part" "$label"
    done
    unplug_part "avr-$part"
    echo "$part=\"$part_protocol $part_product $part_flash $part_bootloader $part_application $part_eeprom $avr_memory\"" >>"$run/parts.facts"
done
say "dfu-programmer and avrdude on every client part"

# ---- calibration: avrdude's flip2 programmer writes and verifies a 29,166-byte image on the
# atxmega32a4u, as on the real part it was measured on
pattern "$CALIBRATION_BYTES" 13 5 >"$run/calibration.bin"
srec_cat "$run/calibration.bin" -binary -o "$share/calibration.hex" -intel
plug_part atxmega32a4u cal
guest "avrdude -c flip2 -p x32a4u -U application:w:calibration.hex:i >avr-cal.out 2>&1"
[ "$last_rc" = 0 ] || fail "avrdude's calibration write failed: $(cat "$share/avr-cal.out")"
save_copies cal write
unplug_part cal

# ---- the station on a megaAVR and on an XMEGA above 64 KiB (its image with segment records,
# erased first), with one ledger. A bootloader of another part is passed over.
ledger_init /tmp/parts.db
part_station() { # name, part, options
    head -c 40 /dev/zero | tr '\0' '\377' >"$share/id-$1.bin"
    station_start "$1" "--part $2 $3 -e id-$1.bin -I 40 --ledger /tmp/parts.db --station $1"
}
part_station mega atmega32u4 "-f atmega32u4.hex"
bench "plug 0 name=other"
guest_sees 0 other
stations_idle mega
unplug_part other
bench "plug 0 part=atmega32u4 name=mega-dev flash=$repo/tests/data/avr/blink.bin"
wait_event "name=mega-dev left"
wait_station mega "Waiting (1 devices) " 1
station_stop mega
segment_records "$share/atxmega128a4u.hex" >"$share/atxmega128a4u-segments.hex"
part_station xmega atxmega128a4u "--erase -f atxmega128a4u-segments.hex"
bench "plug 0 part=atxmega128a4u name=xmega-dev flash=$repo/tests/data/avr/blink.bin"
wait_event "name=xmega-dev left"
wait_station xmega "Waiting (1 devices) " 1
station_stop xmega
guest 'cp /tmp/parts.db . && { [ ! -f /tmp/parts.db-wal ] || cp /tmp/parts.db-wal .; }'
[ "$last_rc" = 0 ] || fail "the parts' ledger could not be copied: $(cat "$last_out")"
say "the station on atmega32u4 and atxmega128a4u"

#!/bin/sh
# Rebuilds the AVR test images in this directory and checks each one.
#
# For every program NAME.c it writes NAME.hex (Intel HEX with LF line ends)
# and NAME.bin (the flash image as a flat binary, the reference a parser's
# output is compared with). Each .hex, and each line-end/case variant, is
# converted back with srec_cat and must equal its .bin.
#
# Needs: gcc-avr, avr-libc, binutils-avr, srecord.
set -eu

MCU=atmega32u4
F_CPU=16000000UL
PROGRAMS="blink uart_echo tone"
SINE_TABLE_SIZE=4096
EXAMPLE=tone

cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "make.sh: $*" >&2
    exit 1
}

for tool in avr-gcc avr-objcopy srec_cat awk sed tr cmp; do
    command -v "$tool" >/dev/null || fail "$tool not found"
done

# Check that HEX converts to exactly the bytes of BIN.
check() {
    srec_cat "$1" -intel -o "$work/check.bin" -binary
    cmp -s "$work/check.bin" "$2" || fail "$1 does not convert to $2"
}

awk -v size=$SINE_TABLE_SIZE -f gen_sine.awk >sine_table.h

for name in $PROGRAMS; do
    avr-gcc -mmcu=$MCU -DF_CPU=$F_CPU -Os -std=gnu99 -Wall -Wextra -Werror \
        -o "$work/$name.elf" "$name.c"
    # avr-objcopy writes CR LF line ends; the main files use plain LF.
    avr-objcopy -O ihex -R .eeprom "$work/$name.elf" "$work/$name.objcopy.hex"
    tr -d '\r' <"$work/$name.objcopy.hex" >"$name.hex"
    avr-objcopy -O binary -R .eeprom "$work/$name.elf" "$name.bin"
    chmod -x "$name.bin"
    check "$name.hex" "$name.bin"
    echo "$name: $(wc -c <"$name.bin") bytes of flash, $(wc -l <"$name.hex") records"
done

# Same records, other spellings: CR LF line ends (byte for byte what
# avr-objcopy itself writes), and lower-case hex digits.
sed 's/$/\r/' blink.hex >blink-crlf.hex
cmp -s blink-crlf.hex "$work/blink.objcopy.hex" || fail "blink-crlf.hex differs from avr-objcopy's output"
check blink-crlf.hex blink.bin
tr 'A-F' 'a-f' <uart_echo.hex >uart_echo-lower.hex
check uart_echo-lower.hex uart_echo.bin

cp $EXAMPLE.hex ../../../examples/fw.hex
echo "all images check out"

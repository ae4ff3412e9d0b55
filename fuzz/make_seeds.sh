#!/bin/sh
# Writes the hand-made seeds under fuzz/corpus/. scripts/fuzz.sh adds the Intel HEX files
# of tests/data/avr/ to the hex seeds when it runs.
set -eu
cd "$(dirname "$0")"
mkdir -p corpus/hex corpus/startup
cd corpus

EOF=':00000001FF'
FW=':10000000000102030405060708090A0B0C0D0E0F78
:0800100010111213141516174C
:00000001FF'

# Intel HEX files
printf '%s\n' "$FW" ':04004000AAAAAAAA14' >hex/multi-block.hex
printf '%s\n' ':0400200001020304D2' ':020000000909EC' ':080010000707070707070707B0' "$EOF" \
    >hex/out-of-order.hex
printf '%s\n' ':0400000001020304F2' ':03000200030405EF' "$EOF" >hex/overlap-same.hex
printf '%s\n' ':0400000001020304F2' ':0100020009F4' "$EOF" >hex/overlap-conflict.hex
printf '%s\n' ':0400000001020304F3' "$EOF" >hex/bad-checksum.hex
printf '%s\r\n' ':10000000000102030405060708090A0B0C0D0E0F78' ':0800100010111213141516174C' "$EOF" \
    >hex/crlf.hex
printf '%s\n' ':020000020000FC' ':020000040001F9' ':0400000300001234B3' ':0400000500000000F7' \
    ':0800100010111213141516174c' "$EOF" >hex/other-records.hex
printf '%s\n' ':20FFF0005A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5AB1' \
    ':1000000001010101010101010101010101010101E0' "$EOF" >hex/top-of-address-space.hex
printf '%s' ':0400000001020304F2 trailing text' >hex/no-final-line-feed.hex

# Start-up: arguments one per line, NUL, EEPROM length byte and bytes, flash file.
blank32='\377\377\377\377\377\377\377\377\377\377\377\377\377\377\377\377'
blank32="$blank32$blank32"
printf -- '-f\n@F\000\000%s\n' "$FW" >startup/flash-only
printf -- '-f\n@T\n-e\n@E\n-i\n0x100\n-s\n12\n-r\n8700\000\040'"$blank32"'%s\n' "$FW" \
    >startup/tagged-name-all-ids
printf -- '-e\n@E\n-I\n0\000\005\001\002\003\004\005' >startup/short-eeprom-hard-id-0
printf -- '-v\n0123abcd\n-t\n0102\n-f\n@F\000\000%s\n' "$FW" >startup/version-and-tag
printf -- '-f@F\n-e@E\n-I\n1FFF\000\040'"$blank32"'%s\n' ':0400000001020304F3' \
    >startup/bad-flash-checksum
printf -- '-i\n0x20000\000' >startup/hard-id-too-large
printf -- '-h\000' >startup/usage
printf -- '-r\n-1\n-s\nzz\000' >startup/bad-hex-number

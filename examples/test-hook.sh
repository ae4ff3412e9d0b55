#!/bin/sh
# A test for korvofw --after: run once for each device the station programmed, while the device
# runs its firmware on the same USB port. It prints its results as key=value lines, which the
# station keeps in the device's ledger row and its test.ended event; any other line is shown to
# the operator. Exit status 0: the device passed; anything else: it failed and is set aside.
#
# A real test would measure the board's supply current on a bench meter and ask the firmware for
# its version over its serial port. This example has no board to talk to: it derives both from
# the identity the station gives it, and fails one device in three (those whose hard ID is a
# multiple of 3), so that a run shows both outcomes.
set -eu

hard_id=$((KORVOFW_HARD_ID))
echo "Testing the board on port $KORVOFW_PORT, hard ID $KORVOFW_HARD_ID"

# The supply current in mA, as a meter would give it: 40.0 to 44.9.
current_tenths=$((400 + hard_id * 7 % 50))
echo "current_ma=$((current_tenths / 10)).$((current_tenths % 10))"
# The firmware's version as it reports it, and the image the station wrote.
echo "firmware_version=1.4.$((hard_id % 10))"
echo "image_sha256=$KORVOFW_IMAGE_SHA256"

if [ $((hard_id % 3)) -eq 0 ]; then
    echo "supply current out of range: the board draws too much" >&2
    exit 1
fi

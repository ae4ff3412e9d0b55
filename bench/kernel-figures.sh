#!/bin/sh
# Figures of a finished real-kernel bench run (tests/kernel/run.sh): the
# station's plug-to-start time per device and dfu-programmer's flash with
# verification, on the same emulated bus. The bus has no timing of its own,
# so these are host-side cost and request counts, not USB timing.
# Usage: kernel-figures.sh <run-dir>
set -eu
run=$1
out="$run/out"
. "$run/facts"
event_time() { awk -v name="name=$1" -v what="$2" '$3 == name && index($0, what) { print $1; exit }' "$out/events"; }
mean() { awk '{ s += $1; n++ } END { if (n) printf "%.3f", s / n }'; }

echo "kernel bench: benchmark (emulated bus: host-side cost and request counts, not USB timing)"
: >"$run/station.times"
for name in st1 st2 st3; do
    plugged=$(event_time "$name" " plugged")
    first=$(event_time "$name" "first request")
    started=$(event_time "$name" " started")
    requests=$(sed -n "s/.*name=$name left requests=\([0-9]*\).*/\1/p" "$out/events")
    [ -n "$plugged" ] && [ -n "$started" ] || continue
    awk -v a="$plugged" -v f="$first" -v b="$started" 'BEGIN { printf "%.3f %.3f\n", b - a, b - f }' >>"$run/station.times"
    printf 'kernel bench:   station %s: plug to "Starting device." %s s (first request to start %s s), %s requests\n' \
        "$name" "$(tail -n 1 "$run/station.times" | cut -d' ' -f1)" "$(tail -n 1 "$run/station.times" | cut -d' ' -f2)" "$requests"
done
# Three runs of the same flash; the middle figure is compared.
cat "$run"/share/dfu-flash*.time | awk '{ printf "%.2f\n", $2 - $1 }' | sort -n >"$run/dfu.times"
dfu_seconds=$(awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }' "$run/dfu.times")
printf 'kernel bench:   dfu-programmer flash with verification: %s s median of %s (guest clock, 10 ms steps), %s requests each\n' \
    "$dfu_seconds" "$(tr '\n' ' ' <"$run/dfu.times")" "$requests_flash"
[ -s "$run/station.times" ] || exit 0
for column in 1 2; do
    what=$([ "$column" = 1 ] && echo plug-to-start || echo first-request-to-start)
    station=$(cut -d' ' -f"$column" "$run/station.times" | mean)
    printf 'kernel bench:   station mean %s %s s / dfu-programmer flash %s s = %s\n' "$what" "$station" \
        "$dfu_seconds" "$(awk -v a="$station" -v b="$dfu_seconds" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')"
done

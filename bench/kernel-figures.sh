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

# ---- calibration: avrdude's flip2 programmer writing and verifying 29,166 bytes on the
# atxmega32a4u model beside the same on the real part. avrdude times both itself. The log
# splits the session: the write phase runs from the chip erase's status to the last program
# command's, the verification after it; the model's busy time is per request (cal.*.times).
REAL_WRITE_S=0.55 REAL_VERIFY_S=0.21 # avrdude on a real ATxmega32A4U, 114 pages of 256 bytes
TOLERANCE=0.30
PAGE_SIZE=256
avr_time() { sed -n "s/^$1 | .* | 100% \([0-9.]*\)s$/\1/p" "$run/share/avr-cal.out" | head -n 1; }
log="$run/cal.after-write.log"
[ -f "$log" ] || exit 0
erased_at=$(grep -n " out=0400ff" "$log" | head -n 1 | cut -d: -f1)
last_program=$(grep -n " out=0100" "$log" | tail -n 1 | cut -d: -f1)
total=$(wc -l <"$log")
# The request numbers (from 0) of the phases: after the erase and its status, to the last
# program command and its status; the rest.
write_from=$((erased_at + 1)) write_to=$((last_program + 1))
bytes=$(wc -c <"$run/calibration.bin")
awk -v a="$write_from" -v b="$write_to" -v c="$total" -v bytes="$bytes" -v pages=$(((bytes + PAGE_SIZE - 1) / PAGE_SIZE)) -v tw="$(avr_time Writing)" -v tv="$(avr_time Reading)" \
    -v rw="$REAL_WRITE_S" -v rv="$REAL_VERIFY_S" -v tol="$TOLERANCE" '
    { if ($1 >= a && $1 <= b) busy += $3 / 1e6 }
    function within(ours, real) { return (ours >= real * (1 - tol) && ours <= real * (1 + tol)) ? "yes" : "no" }
    END {
        nw = b - a + 1; nv = c - b - 1; bus = rv / nv
        printf "kernel bench: calibration, avrdude flip2 on atxmega32a4u, %d bytes (%d pages), avrdude'"'"'s own times:\n", bytes, pages
        printf "kernel bench:   write:  real part %.2f s, the bench %.2f s (x%.2f, within %d %%: %s): the part busy %.2f s, %d requests at %.2f ms each on the emulated bus\n", \
            rw, tw, tw / rw, tol * 100, within(tw, rw), busy, nw, (tw - busy) / nw * 1000
        printf "kernel bench:   verify: real part %.2f s, the bench %.2f s (x%.2f, within %d %%: %s): %d requests at %.2f ms each; the real part'"'"'s bus %.2f ms\n", \
            rv, tv, tv / rv, tol * 100, within(tv, rv), nv, tv / nv * 1000, bus * 1000
        ours = busy + nw * bus
        printf "kernel bench:   the model on the real part'"'"'s bus (its busy time, the requests at %.2f ms): write %.2f s (x%.2f, within %d %%: %s); its page time on that bus: %.2f ms\n", \
            bus * 1000, ours, ours / rw, tol * 100, within(ours, rw), (rw - nw * bus) / pages * 1000
    }' "$run/cal.after-write.times"

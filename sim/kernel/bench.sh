#!/bin/sh
# The real-kernel bench, sourced by a scenario script: the unmodified station
# (real libusb 0.1 and libudev) runs in a QEMU guest with udevd, and
# korvo-usbredir plugs the bench's bootloader model into the guest's xHCI as
# real USB devices, one per slot.
#
#   . sim/kernel/bench.sh
#   kbench_start <build-dir> <run-dir>   builds the guest, starts the front end
#                                         and QEMU, waits for the guest
#   guest 'snippet'     runs a shell snippet in the guest (in /share); sets
#                       $last_out (its output file) and $last_rc
#   bench 'plug 0 name=x ...'   a command to the front end
#   slot_port N         the USB port name the guest gives the device on slot N
#   guest_sees N NAME   waits until the guest has the device on slot N (NAME for messages)
#   part_facts PART     the part's row of the station's table (korvofw --list-parts) in
#                       $part_protocol, $part_product (4 hex digits) and, in bytes,
#                       $part_flash, $part_bootloader, $part_application, $part_eeprom
#   wait_event PATTERN  waits for a front end event in $out/events
#   wait_until 'shell test' what [seconds]   waits for a host-side condition
#   station_start NAME 'korvofw arguments'   starts a station in the guest (in
#                       /share), its output in NAME.out and NAME.err, its process
#                       id in NAME.pid and, once it has ended, its exit status in
#                       NAME.status; waits until it waits for devices
#   station_count NAME TEXT      lines of its output that hold the text
#   wait_station NAME TEXT TIMES   waits until it has printed the text so often
#   stations_idle NAME...        waits until no udev event so far is left for
#                       the stations
#   stations_settle NAME...      the same once every device has left the bus
#   station_stop NAME...         stops them (SIGTERM) and waits for their ends
#   kbench_stop         powers the guest off and ends the front end
# $share is the guest's /share, $out the front end's device files and events.
# Every wait is bounded (WAIT_S); a failure ends the run with the guest's
# console and the front end's last events.

kbench_dir="$repo/sim/kernel" # $repo: the checkout, set by the scenario
WAIT_S=${WAIT_S:-90} # longest wait for any one step
HUB_PORT=1 # the root port of the hub whose ports 1 and 2 hold slots 0 and 1

# The hub is full speed, so it sits on the xHCI's USB 2 root hub, bus 1.
slot_port() { echo "1-$HUB_PORT.$(($1 + 1))"; }

guest_sees() {
    guest "for i in \$(seq 100); do [ -f /sys/bus/usb/devices/$(slot_port "$1"):1.0/bInterfaceClass ] && exit 0; sleep 0.1; done; exit 1"
    [ "$last_rc" = 0 ] || fail "the guest never saw $2 on $(slot_port "$1")"
}

# The station's own table is the one source of the parts' sizes.
part_facts() {
    part_row=$("$build/src/korvofw" --list-parts | awk -v part="$1" '$1 == part')
    [ -n "$part_row" ] || fail "korvofw --list-parts has no part $1"
    # part, USB ID, protocol, flash N KiB, bootloader N KiB, application N KiB, page, EEPROM
    set -- $part_row
    part_product=${2#03eb:} part_protocol=$3 part_flash=$(($4 * 1024))
    part_bootloader=$(($6 * 1024)) part_application=$(($8 * 1024)) part_eeprom=${11}
}

say() { echo "kernel bench: $*"; }
fail() {
    echo "kernel bench: FAIL: $*" >&2
    [ -f "$run/console.log" ] && { echo "--- guest console (tail)" >&2; tail -n 25 "$run/console.log" >&2; }
    [ -f "$out/events" ] && { echo "--- front end events (tail)" >&2; tail -n 15 "$out/events" >&2; }
    exit 1
}

# Polls every 0.1 s until the shell test holds, failing after WAIT_S or the
# seconds given. The test is evaluated here: it names globals, not $1, $2.
wait_until() {
    waited=0
    limit=${3:-$WAIT_S}
    until eval "$1"; do
        [ -z "${qemu_pid:-}" ] || kill -0 "$qemu_pid" 2>/dev/null || fail "QEMU ended while waiting for $2"
        [ "$waited" -lt $((limit * 10)) ] || fail "no $2 within ${limit}s"
        sleep 0.1
        waited=$((waited + 1))
    done
}

guest_n=0
guest() {
    printf '%s\n' "$1" >"$share/cmd/$guest_n.part"
    mv "$share/cmd/$guest_n.part" "$share/cmd/$guest_n.sh"
    wait_until '[ -f "$share/cmd/$guest_n.rc" ]' "end of the guest's command: $1"
    last_out="$share/cmd/$guest_n.out"
    last_rc=$(cat "$share/cmd/$guest_n.rc")
    guest_n=$((guest_n + 1))
}

bench() { echo "$*" >&3; }
wait_event() {
    event=$1 # the condition is evaluated inside wait_until
    wait_until 'grep -q -- "$event" "$out/events" 2>/dev/null' "front end event \"$1\""
}

station_start() {
    guest "(korvofw $2 >$1.out 2>$1.err & echo \$! >$1.pid; wait \$!; echo \$? >$1.status) >/dev/null 2>&1 &"
    st_pid="$share/$1.pid"
    wait_until '[ -s "$st_pid" ]' "the process id of $1"
    wait_station "$1" "Waiting (0 devices) " 1
}
# Carriage-return progress lines are split apart.
station_count() { tr '\r' '\n' <"$share/$1.out" | grep -c -F -- "$2" || true; }
wait_station() {
    st_name=$1 st_text=$2 st_times=$3 # evaluated inside wait_until
    wait_until '[ "$(station_count "$st_name" "$st_text")" -ge "$st_times" ]' \
        "\"$2\" printed $3 times by $1"
}
# Each station has ended before the next is stopped.
station_stop() {
    for st_name in "$@"; do
        guest "kill \$(cat $st_name.pid)"
        st_status="$share/$st_name.status"
        wait_until '[ -s "$st_status" ]' "the end of $st_name"
    done
}
# udevd has sent out every event so far; then each station has gone round its
# wait loop six times (1.5 s) without taking a device, so none of those events
# is left for it. (A station passes over a device's other events in the round
# that takes them; one that took an event a round would need four for a device.)
stations_idle() {
    guest 'udevadm settle'
    for st_name in "$@"; do
        st_mark=$(wc -c <"$share/$st_name.out")
        wait_until 'station_idle "$st_name" "$st_mark"' "$st_name to take no device for six rounds"
    done
}
# The same once every device has left the guest's bus.
stations_settle() {
    guest 'while grep -qx 03eb /sys/bus/usb/devices/*/idVendor 2>/dev/null; do sleep 0.1; done'
    stations_idle "$@"
}
station_idle() {
    tail -c +"$(($2 + 1))" "$share/$1.out" | tr -d '\r' | sed 's/Waiting ([0-9]* devices) //g' |
        grep -q '\.\.\.\.\.\.'
}

kbench_cleanup() {
    exec 3>&- 2>/dev/null || true
    [ -n "${qemu_pid:-}" ] && kill "$qemu_pid" 2>/dev/null || true
    [ -n "${frontend_pid:-}" ] && kill "$frontend_pid" 2>/dev/null || true
}

kbench_start() {
    build=$(cd "$1" && pwd)
    case $2 in
    /*) run=$2 ;;
    *) run=$(pwd)/$2 ;; # the front end is given files in it
    esac
    share="$run/share"
    out="$run/out"
    frontend="$build/sim/korvo-usbredir"
    command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is not installed"
    [ -x "$frontend" ] || fail "$frontend is missing (is libusbredirparser-dev installed?)"
    sh "$kbench_dir/build-guest.sh" "$build" || fail "the guest image could not be built"
    rm -rf "$run"
    mkdir -p "$share/cmd" "$out"
    cp "$kbench_dir/guest.sh" "$share/guest.sh"
    trap kbench_cleanup EXIT
    trap 'exit 1' INT TERM

    mkfifo "$run/commands"
    "$frontend" "$out" "$run/slot0.sock" "$run/slot1.sock" <"$run/commands" >"$run/frontend.out" 2>&1 &
    frontend_pid=$!
    exec 3>"$run/commands"
    wait_until '[ -S "$run/slot1.sock" ]' "korvo-usbredir start ($(cat "$run/frontend.out" 2>/dev/null))"

    started_at=$(date +%s)
    qemu-system-x86_64 -machine q35 -accel tcg -smp 2 -m 512 -nographic -no-reboot \
        -kernel "$build/kernel/vmlinuz" -initrd "$build/kernel/initrd.gz" \
        -append "console=ttyS0 quiet panic=-1" \
        -device qemu-xhci,id=xhci -device usb-hub,bus=xhci.0,port=$HUB_PORT \
        -chardev socket,id=slot0,path="$run/slot0.sock",reconnect=1 \
        -device usb-redir,chardev=slot0,bus=xhci.0,port=$HUB_PORT.1 \
        -chardev socket,id=slot1,path="$run/slot1.sock",reconnect=1 \
        -device usb-redir,chardev=slot1,bus=xhci.0,port=$HUB_PORT.2 \
        -virtfs local,path="$share",mount_tag=share,security_model=none,id=share \
        </dev/null >"$run/console.log" 2>&1 &
    qemu_pid=$!
    wait_until 'grep -q "init: guest ready" "$run/console.log" 2>/dev/null' "guest boot" 120
    say "guest up after $(($(date +%s) - started_at))s"
    guest 'uname -r'
    [ "$last_rc" = 0 ] || fail "the guest does not run commands"
}

kbench_stop() {
    touch "$share/cmd/end"
    wait_until '! kill -0 "$qemu_pid" 2>/dev/null' "guest power-off" 60
    qemu_pid=
    exec 3>&-
    wait "$frontend_pid" || true
    frontend_pid=
}

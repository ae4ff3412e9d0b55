#!/bin/sh
# The line view on a ledger of a million rows, on SQLite and then on PostgreSQL (a throwaway
# cluster, started and stopped here as the tests do). For each back end:
#   - the fill: 8 stations, 2 pools, 30 days, the last 12 hours dense (bench/line_bench fill);
#   - the refresher's own read, LineReader::read in process: a first read, then refreshes with
#     a device written before each (line_bench read);
#   - the allocation of 8 stations at once (bench/ledger_bench --together) with no viewer;
#   - `korvofw-ledger LEDGER serve` with 20 line pages fetching /api/line and /metrics every
#     2 s (line_bench view), and while they run the same 8 stations again.
# A benchmark: it prints figures beside their goals and never fails on one; it fails only when
# a ledger, the server or a station cannot run or answers wrongly.
#   sh bench/line-view-bench.sh [BUILD-DIR [ROWS [SECONDS]]]
# SECONDS (default 60) is at least 40: the stations, 25 s from 5 s in, run among the viewers.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
rows=${2:-1000000}
seconds=${3:-60}
viewers=20
# The stations start once the viewers have run this long, and end well before them.
stations_after=5
work=/tmp/korvofw-line-bench-$$
port=$((20000 + $$ % 20000))
line_bench=$build/bench/line_bench
ledger_bench=$build/bench/ledger_bench
ledger_tool=$build/src/ledger/korvofw-ledger

fail() { echo "line-view-bench: $*" >&2 && exit 1; }
for tool in "$line_bench" "$ledger_bench" "$ledger_tool"; do
    [ -x "$tool" ] || fail "$tool is missing: cmake --build $build --target line_bench ledger_bench korvofw-ledger"
done
case "$rows:$seconds" in
*[!0-9:]* | :* | *:) fail "ROWS and SECONDS must be whole numbers, not \"$rows\" and \"$seconds\"" ;;
esac
[ "$seconds" -ge 40 ] || fail "SECONDS must be at least 40, so that the stations run among the viewers"

server=
cleanup() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi
    sh "$root/scripts/pg-cluster.sh" stop "$work/pg" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
mkdir -p "$work"

# Starts the server on the ledger and waits until it answers /api/line: its first read, the
# full count, is done before the viewers come.
serve() {
    "$ledger_tool" "$1" serve --listen "127.0.0.1:$port" >"$work/serve.log" 2>&1 &
    server=$!
    tries=0
    until curl -fsS -o /dev/null "http://127.0.0.1:$port/api/line" 2>/dev/null; do
        tries=$((tries + 1))
        if ! kill -0 "$server" 2>/dev/null || [ $tries -gt 600 ]; then
            cat "$work/serve.log" >&2
            fail "the server on $1 did not answer /api/line on port $port"
        fi
        sleep 0.1
    done
}

# The CPU time a process has used, in clock ticks (user and system).
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

measure() {
    name=$1
    ledger=$2
    echo "== $name: $(uptime)"
    "$line_bench" fill "$ledger" "$rows"
    echo "$name: before the reads: $(uptime | sed 's/.*load/load/')"
    "$line_bench" read "$ledger"
    printf '%s: no viewer: ' "$name"
    "$ledger_bench" --together "$ledger" bench-alone
    serve "$ledger"
    cpu_before=$(cpu_ticks "$server")
    "$line_bench" view "127.0.0.1:$port" "$viewers" "$seconds" >"$work/view.txt" &
    viewing=$!
    sleep "$stations_after"
    printf '%s: %d viewers: ' "$name" "$viewers"
    "$ledger_bench" --together "$ledger" bench-viewers
    wait "$viewing" || { cat "$work/view.txt"; fail "the viewers of $name found wrong answers"; }
    sed "s|^|$name: |" "$work/view.txt"
    ticks=$(($(cpu_ticks "$server") - cpu_before))
    echo "$name: the server's process while the viewers ran: $(awk "BEGIN { printf \"%.1f\", \
        100 * $ticks / $(getconf CLK_TCK) / $seconds }") % of one core"
    kill "$server"
    wait "$server" || { cat "$work/serve.log" >&2; fail "the server on $name did not stop cleanly"; }
    server=
    echo "$name: after: $(uptime | sed 's/.*load/load/')"
}

echo "line-view-bench: $rows rows, $viewers viewers for $seconds s, $(nproc) cores"
measure sqlite "$work/line.db"
rm -f "$work"/line.db*
uri=$(sh "$root/scripts/pg-cluster.sh" start "$work/pg")
measure postgresql "$uri"

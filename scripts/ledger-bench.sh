#!/bin/sh
# The ledger's benchmark on both back ends: starts a throwaway PostgreSQL cluster (as the
# tests do), runs bench/ledger_bench against it and an SQLite file, and stops the cluster.
#   scripts/ledger-bench.sh [BUILD-DIR [SQLITE-DIR]]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cluster=/tmp/korvofw-pg-bench-$$
trap 'sh "$root/scripts/pg-cluster.sh" stop "$cluster"' EXIT
KORVOFW_PG_URI=$(sh "$root/scripts/pg-cluster.sh" start "$cluster")
export KORVOFW_PG_URI
if [ $# -ge 2 ]; then
    "$build/bench/ledger_bench" "$2"
else
    "$build/bench/ledger_bench"
fi

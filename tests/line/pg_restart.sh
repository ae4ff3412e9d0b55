#!/bin/sh
# Stops the throwaway PostgreSQL cluster that pg_cluster.sh started in DIR at once, as a crash
# of its server would (pg_ctl stop -m immediate), and starts it again with the same settings:
#   pg_restart.sh DIR
set -eu
dir=$1
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bin" ] || [ ! -f "$dir/data/postmaster.pid" ]; then
    echo "pg_restart: no running cluster in $dir (start it with pg_cluster.sh)" >&2
    exit 1
fi
if [ "$(id -u)" = 0 ]; then
    as_server() { runuser -u postgres -- "$@"; }
else
    as_server() { "$@"; }
fi
as_server "$bin/pg_ctl" -D "$dir/data" stop -m immediate >/dev/null
if ! as_server "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$dir'" start >/dev/null; then
    tail -n 20 "$dir/server.log" >&2
    echo "pg_restart: the server did not start again in $dir" >&2
    exit 1
fi

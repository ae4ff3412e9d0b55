#!/bin/sh
# A throwaway PostgreSQL cluster for the ledger's tests and benchmark, listening only on a
# Unix socket in its own directory:
#   pg-cluster.sh start DIR   make it (initdb) and start it; prints the URI to reach it
#   pg-cluster.sh stop DIR    stop it at once and remove DIR
#   pg-cluster.sh down DIR    stop it at once, as a crash of its server would
#   pg-cluster.sh up DIR      start it again
# The server refuses to run as root, so as root it runs as the postgres user.
set -eu
action=$1
dir=$2
fail() { echo "pg-cluster: $*" >&2 && exit 1; }
case $dir in
/tmp/?*) ;;
*) fail "DIR must lie under /tmp, where the server's user can reach it: $dir" ;;
esac
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -n "$bin" ] && [ -x "$bin/initdb" ] || fail "no PostgreSQL server under /usr/lib/postgresql/*/bin (install postgresql)"
as_server() { if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
down() { as_server "$bin/pg_ctl" -D "$dir/data" stop -m immediate >/dev/null; }
up() {
    as_server "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses='' -c unix_socket_directories='$dir'" start >/dev/null ||
        { tail -n 20 "$dir/server.log" >&2; fail "the server did not start in $dir"; }
}
stop() {
    if [ -f "$dir/data/postmaster.pid" ]; then down 2>/dev/null || true; fi
    rm -rf "$dir"
}

case $action in
start)
    stop
    mkdir -m 0755 -p "$dir"
    if [ "$(id -u)" = 0 ]; then chown postgres "$dir"; fi
    as_server "$bin/initdb" -D "$dir/data" -U postgres --auth=trust --no-sync -E UTF8 \
        >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; fail "initdb failed in $dir (is $dir readable by postgres?)"; }
    up
    echo "postgresql://postgres@/postgres?host=$dir"
    ;;
stop | down | up) $action ;;
*) echo "usage: pg_cluster.sh start|stop|down|up DIR" >&2 && exit 2 ;;
esac

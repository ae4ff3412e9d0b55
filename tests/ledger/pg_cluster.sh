#!/bin/sh
# A throwaway PostgreSQL cluster for the ledger's tests and benchmark, listening only on a
# Unix socket in its own directory:
#   pg_cluster.sh start DIR   make it (initdb) and start it; prints the URI to reach it
#   pg_cluster.sh stop DIR    stop it at once and remove DIR
#   pg_cluster.sh down DIR    stop it at once, as a crash of its server would
#   pg_cluster.sh up DIR      start it again
# The server refuses to run as root, so as root it runs as the postgres user.
set -eu
action=$1
dir=$2
case $dir in
/tmp/?*) ;;
*) echo "pg_cluster: DIR must lie under /tmp, where the server's user can reach it: $dir" >&2 && exit 2 ;;
esac
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
    echo "pg_cluster: no PostgreSQL server under /usr/lib/postgresql/*/bin (install postgresql)" >&2
    exit 1
fi
as_server() { if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
down() { as_server "$bin/pg_ctl" -D "$dir/data" stop -m immediate >/dev/null; }
up() {
    if ! as_server "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses='' -c unix_socket_directories='$dir'" start >/dev/null; then
        tail -n 20 "$dir/server.log" >&2
        echo "pg_cluster: the server did not start in $dir" >&2
        exit 1
    fi
}
stop() {
    if [ -f "$dir/data/postmaster.pid" ]; then down 2>/dev/null || true; fi
    rm -rf "$dir"
}

case $action in
start)
    stop
    mkdir -p "$dir"
    chmod 0755 "$dir"
    if [ "$(id -u)" = 0 ]; then chown postgres "$dir"; fi
    if ! as_server "$bin/initdb" -D "$dir/data" -U postgres --auth=trust --no-sync \
        -E UTF8 >"$dir/initdb.log" 2>&1; then
        cat "$dir/initdb.log" >&2
        echo "pg_cluster: initdb failed in $dir (is $dir readable by postgres?)" >&2
        exit 1
    fi
    up
    echo "postgresql://postgres@/postgres?host=$dir"
    ;;
stop | down | up) $action ;;
*) echo "usage: pg_cluster.sh start|stop|down|up DIR" >&2 && exit 2 ;;
esac

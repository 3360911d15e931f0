#!/usr/bin/env bash
# A throw-away PostgreSQL 15 server for the tests: started in DIR (made anew,
# owned by an unprivileged user when run as root, since the server refuses to
# run as root), listening on a Unix socket in DIR only, no TCP port.
#   pg-test.sh start DIR    initdb, start, wait until it answers
#   pg-test.sh stop DIR     stop it and remove DIR
#   pg-test.sh pause DIR    stop it, keep its data (tests of an unreachable store)
#   pg-test.sh resume DIR   start it again
# Clients reach it as postgresql:///postgres?host=DIR&user=zavpush
set -euo pipefail

cmd=${1:?usage: pg-test.sh start|stop|pause|resume DIR}
dir=${2:?usage: pg-test.sh start|stop|pause|resume DIR}
bin=${ZAV_PG_BIN:-/usr/lib/postgresql/15/bin}

as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        setpriv --reuid=nobody --regid=nogroup --clear-groups --reset-env -- "$@"
    else
        "$@"
    fi
}

start_server() {
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 -s \
        -o "-k $dir -c listen_addresses= -c fsync=off -c full_page_writes=off \
 -c max_connections=200 -c shared_buffers=64MB" start
}

case "$cmd" in
start)
    if [ -f "$dir/data/postmaster.pid" ]; then
        "$0" stop "$dir" || true
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    chmod 700 "$dir"
    if [ "$(id -u)" -eq 0 ]; then
        chown nobody:nogroup "$dir"
    fi
    as_owner "$bin/initdb" -D "$dir/data" -U zavpush --auth=trust -E UTF8 --locale=C.UTF-8 \
        --no-sync >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    start_server
    ;;
stop)
    if [ -d "$dir/data" ]; then
        as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w -s stop || true
    fi
    rm -rf "$dir"
    ;;
pause)
    as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w -s stop
    ;;
resume)
    start_server
    ;;
*)
    echo "pg-test.sh: start, stop, pause or resume" >&2
    exit 2
    ;;
esac

#!/usr/bin/env bash
# Throwaway PostgreSQL servers for tests, the demo and the benchmarks.
#
#   pgserver.sh start DIR [--record] [--port N] [SETTING=VALUE ...]
#       initdb into DIR/data and start a server that listens only on a Unix
#       socket in DIR (port 5432 unless --port is given).  --record turns on
#       the logging that quillrun reads: DIR/log/postgresql (stderr
#       format), DIR/log/postgresql.csv and DIR/log/postgresql.json
#       (jsonlog, PostgreSQL 15 and later).
#   pgserver.sh stop DIR      stop it (the directory stays)
#   pgserver.sh bindir        print the server's bin directory
#
# As root the server runs as the postgres user, which then owns DIR.
set -euo pipefail

bindir() {
    if command -v pg_config >/dev/null 2>&1 && [ -x "$(pg_config --bindir)/initdb" ]; then
        pg_config --bindir
        return
    fi
    local dir
    dir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
    [ -n "$dir" ] || { echo "pgserver.sh: no PostgreSQL server installed" >&2; exit 1; }
    echo "$dir"
}

as_owner() {
    if [ "$(id -u)" = 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

start() {
    local dir=$1; shift
    local record=0 port=5432 settings=()
    while [ $# -gt 0 ]; do
        case $1 in
            --record) record=1 ;;
            --port) port=$2; shift ;;
            *) settings+=("$1") ;;
        esac
        shift
    done
    local bin; bin=$(bindir)
    mkdir -p "$dir"
    [ "$(id -u)" = 0 ] && chown postgres: "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -U postgres --auth=trust --no-sync \
        --encoding=UTF8 --locale=C >"$dir/initdb.out" 2>&1 ||
        { cat "$dir/initdb.out" >&2; exit 1; }
    {
        echo "listen_addresses = ''"
        echo "unix_socket_directories = '$dir'"
        echo "port = $port"
        echo "fsync = off"
        echo "synchronous_commit = off"
        echo "full_page_writes = off"
        echo "lc_messages = 'C'"
        echo "max_connections = 100"
        if [ "$record" = 1 ]; then
            echo "logging_collector = on"
            echo "log_destination = 'stderr,csvlog,jsonlog'"
            echo "log_directory = '$dir/log'"
            echo "log_filename = 'postgresql'"
            echo "log_rotation_age = 0"
            echo "log_rotation_size = 0"
            echo "log_file_mode = 0644"
            echo "log_line_prefix = '%m|%u|%d|%c|'"
            echo "log_statement = 'all'"
            echo "log_connections = on"
            echo "log_disconnections = on"
        fi
        for setting in "${settings[@]}"; do echo "$setting"; done
    } >>"$dir/data/postgresql.conf"
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.out" -w -t 60 start >/dev/null ||
        { cat "$dir/server.out" >&2; exit 1; }
}

stop() {
    local dir=$1
    [ -d "$dir/data" ] || return 0
    as_owner "$(bindir)/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null 2>&1 ||
        as_owner "$(bindir)/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
}

case ${1:-} in
    start) shift; start "$@" ;;
    stop) shift; stop "$@" ;;
    bindir) bindir ;;
    *) echo "usage: pgserver.sh start DIR [--record] [--port N] [SETTING=VALUE...] | stop DIR | bindir" >&2; exit 2 ;;
esac

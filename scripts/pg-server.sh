#!/usr/bin/env bash
# A private PostgreSQL server for one test run.
#
#   scripts/pg-server.sh start DIR   initdb into DIR/data, start the server on a
#                                    free port with its socket in DIR and no TCP
#                                    listener, print its connection string
#   scripts/pg-server.sh stop DIR    stop it (nothing to do when it is not running)
#
# Run as root (as CI does), the server runs as the user postgres, which owns DIR.
set -euo pipefail
action=${1:-} dir=${2:-}
[ -n "$action" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 1; }

bin=${DFQ_PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}
[ -x "$bin/pg_ctl" ] || { echo "pg-server: no PostgreSQL server binaries (pg_ctl) found" >&2; exit 1; }

as_server_user() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

case "$action" in
  start)
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
    as_server_user "$bin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C \
      --no-sync >"$dir/initdb.log" 2>&1 ||
      { echo "pg-server: initdb failed:" >&2; cat "$dir/initdb.log" >&2; exit 1; }
    # A port nobody listens on: it names the socket file in DIR.
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    as_server_user "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-p $port -k $dir -c listen_addresses='' -c fsync=off -c max_connections=40" start \
      >/dev/null ||
      { echo "pg-server: the server did not start:" >&2; cat "$dir/server.log" >&2; exit 1; }
    echo "host=$dir port=$port dbname=postgres user=postgres"
    ;;
  stop)
    [ -f "$dir/data/postmaster.pid" ] || exit 0
    as_server_user "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
    ;;
  *)
    echo "usage: $0 start|stop DIR" >&2
    exit 1
    ;;
esac

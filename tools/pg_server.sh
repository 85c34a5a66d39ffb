#!/usr/bin/env bash
# Starts or stops a throw-away PostgreSQL server for the test suite: a fresh
# cluster in a temporary folder, listening on a Unix socket in that folder
# only (no TCP port), with trust authentication for its one superuser.
#   tools/pg_server.sh start DIR   prints the connection string on stdout
#   tools/pg_server.sh stop DIR    stops the server and removes DIR
# The server runs as the `postgres` user when started by root (initdb refuses
# root). A failure to start prints the reason and exits non-zero.
set -euo pipefail

bindir=""
for candidate in "${VEXT_PG_BINDIR:-}" /usr/lib/postgresql/*/bin; do
  [[ -n $candidate && -x $candidate/initdb && -x $candidate/pg_ctl ]] && { bindir=$candidate; break; }
done

as_server() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

case ${1:-} in
  start)
    dir=${2:?usage: pg_server.sh start DIR}
    [[ -n $bindir ]] || { echo "pg_server: no PostgreSQL server found (install Debian's postgresql package)" >&2; exit 1; }
    mkdir -p "$dir"
    [[ $(id -u) -eq 0 ]] && chown postgres: "$dir"
    if ! as_server "$bindir/initdb" -D "$dir/data" -U vext --auth=trust --no-sync -E UTF8 --locale=C \
        >"$dir/initdb.log" 2>&1; then
      echo "pg_server: initdb failed:" >&2; tail -n 5 "$dir/initdb.log" >&2; exit 1
    fi
    # No TCP listener; the socket sits in DIR. fsync stays on: commits are meant to be durable.
    if ! as_server "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
        -o "-c listen_addresses='' -c unix_socket_directories='$dir' -c max_connections=200" start >/dev/null; then
      echo "pg_server: the server did not start:" >&2; tail -n 5 "$dir/server.log" >&2; exit 1
    fi
    echo "postgresql:///postgres?host=$dir&user=vext"
    ;;
  stop)
    dir=${2:?usage: pg_server.sh stop DIR}
    if [[ -n $bindir && -f $dir/data/postmaster.pid ]]; then
      as_server "$bindir/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null || true
    fi
    rm -rf "$dir"
    ;;
  *)
    echo "usage: pg_server.sh start|stop DIR" >&2; exit 2
    ;;
esac

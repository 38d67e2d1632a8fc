#!/usr/bin/env bash
# A throw-away PostgreSQL server for the record store's tests and benchmark:
# Debian's own server binaries (package postgresql, installed by
# scripts/setup.sh; nothing is installed here), a cluster made with initdb in
# DIR, listening on a Unix socket in DIR only (no TCP port is opened). Run as
# root, the server runs as the package's unprivileged user "postgres".
#
# Usage: scripts/pg-test-cluster.sh start DIR    make (once) and start; DIR/url
#                                                then holds the connection URL
#        scripts/pg-test-cluster.sh stop DIR     stop it (DIR is kept)
set -euo pipefail
action=${1:-}
dir=${2:-}
if [ -z "$dir" ] || { [ "$action" != start ] && [ "$action" != stop ]; }; then
  echo "usage: $0 start|stop DIR" >&2
  exit 1
fi

bin=$(ls -d /usr/lib/postgresql/*/bin 2> /dev/null | sort -V | tail -n 1 || true)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ] || [ ! -x "$bin/pg_ctl" ]; then
  echo "pg-test-cluster: no PostgreSQL server in /usr/lib/postgresql/*/bin:" \
    "run scripts/setup.sh (it installs Debian's postgresql package)" >&2
  exit 2
fi

mkdir -p "$dir"
dir=$(realpath "$dir")
# A Unix socket's path is at most 107 bytes.
if [ ${#dir} -gt 80 ]; then
  echo "pg-test-cluster: $dir is too long a path for the server's socket; use a shorter one" >&2
  exit 1
fi
if [ "$(id -u)" -eq 0 ]; then
  owner=postgres
  if ! id "$owner" > /dev/null 2>&1; then
    echo "pg-test-cluster: no user $owner: run scripts/setup.sh (Debian's postgresql makes it)" >&2
    exit 2
  fi
  chown "$owner:" "$dir"
  as_owner() { runuser -u "$owner" -- "$@"; }
else
  owner=$(id -un)
  as_owner() { "$@"; }
fi
chmod 700 "$dir"
if ! as_owner test -w "$dir"; then
  echo "pg-test-cluster: user $owner cannot reach $dir (a folder above it is closed to it);" \
    "use a folder such as /tmp/NAME" >&2
  exit 1
fi

case "$action" in
  start)
    if [ ! -f "$dir/data/PG_VERSION" ]; then
      as_owner "$bin/initdb" -D "$dir/data" --auth=trust --encoding=UTF8 --no-locale \
        --username="$owner" > "$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
    fi
    # listen_addresses empty: the socket in DIR is the only way in.
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-c listen_addresses='' -c unix_socket_directories='$dir'" start > /dev/null ||
      { cat "$dir/server.log" >&2; exit 1; }
    echo "postgresql:///postgres?host=$dir&user=$owner" > "$dir/url"
    ;;
  stop)
    if [ -f "$dir/data/postmaster.pid" ]; then
      as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop > /dev/null
    fi
    ;;
esac

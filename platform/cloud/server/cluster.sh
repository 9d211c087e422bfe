#!/usr/bin/env bash
# Starts and stops a throwaway PostgreSQL cluster that serves the cloud record database, for tests
# and benchmarks.
#
#   cluster.sh start INFO_FILE   initdb in a new temporary folder, start on 127.0.0.1 at a free
#                                port, load schema.sql, and write INFO_FILE (key=value lines:
#                                host, port, admin_user, admin_password, folder)
#   cluster.sh stop INFO_FILE    stop that cluster, remove its folder and INFO_FILE
#
# Several test runs may share one INFO_FILE (two ctest runs in one build tree): a start while the
# cluster named there is up joins it, and a stop leaves it running for the others. The holders
# are the calling processes (ctest), kept in INFO_FILE.holders under a lock; holders that have
# died no longer count, and a cluster that is down is started anew. As root, initdb and the
# server run as the "postgres" user, which owns the folder. Exits 77 when PostgreSQL is not
# installed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
command=${1:-}
info=${2:-}
if [[ -z $command || -z $info ]]; then
  echo "usage: $0 start|stop INFO_FILE" >&2
  exit 2
fi

bindir=""
for candidate in /usr/lib/postgresql/*/bin; do
  [[ -x $candidate/initdb && -x $candidate/pg_ctl ]] && bindir=$candidate
done
if [[ -z $bindir ]]; then
  echo "PostgreSQL is not installed (no initdb under /usr/lib/postgresql)" >&2
  exit 77
fi

# Runs a command as the cluster's owner.
as_owner() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

info_value() {
  sed -n "s/^$1=//p" "$info" 2>/dev/null | head -n 1
}

stop_cluster() {
  [[ -f $info ]] || return 0
  local folder
  folder=$(info_value folder)
  if [[ -n $folder && -d $folder/data ]]; then
    as_owner "$bindir/pg_ctl" -D "$folder/data" -m immediate -w -t 60 stop >/dev/null 2>&1 || true
  fi
  if [[ -n $folder && $folder == */zorvel-cloud-cluster.* ]]; then
    rm -rf "$folder"
  fi
  rm -f "$info"
}

free_port() {
  # A random port in the dynamic range that nothing listens on now; the start retries on a clash.
  local port
  for _ in $(seq 1 200); do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

start_cluster() {
  stop_cluster
  mkdir -p "$(dirname "$info")"
  local folder password
  folder=$(mktemp -d "${TMPDIR:-/tmp}/zorvel-cloud-cluster.XXXXXX")
  chmod 700 "$folder"
  [[ $(id -u) -eq 0 ]] && chown postgres: "$folder"
  password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
  printf '%s\n' "$password" >"$folder/pwfile"
  [[ $(id -u) -eq 0 ]] && chown postgres: "$folder/pwfile"
  as_owner "$bindir/initdb" -D "$folder/data" -U zorvel_admin --pwfile="$folder/pwfile" -E UTF8 --locale=C.UTF-8 \
    --auth-local=scram-sha-256 --auth-host=scram-sha-256 >"$folder/initdb.log" 2>&1 || {
    cat "$folder/initdb.log" >&2
    rm -rf "$folder"
    return 1
  }
  rm -f "$folder/pwfile"
  # Application users reach the cloud database ("postgres" here) and no other: the catalogs of
  # another database would show them what this one hides (see schema.sql).
  local hba
  hba=$(cat "$folder/data/pg_hba.conf")
  printf '%s\n' "local postgres +zorvel_cloud_user scram-sha-256" \
    "host postgres +zorvel_cloud_user 127.0.0.1/32 scram-sha-256" \
    "local all +zorvel_cloud_user reject" "host all +zorvel_cloud_user all reject" "$hba" >"$folder/data/pg_hba.conf"
  # Throwaway data: durability off for speed; room for tests that run in parallel.
  cat >>"$folder/data/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$folder'
max_connections = 300
shared_buffers = 32MB
fsync = off
synchronous_commit = off
full_page_writes = off
log_min_messages = warning
EOF
  local port started=""
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    # 9>&-: the server must not inherit the lock, or it would hold it for its whole life.
    if as_owner "$bindir/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w -t 60 -o "-p $port" start >/dev/null 2>&1 9>&-; then
      started=1
      break
    fi
  done
  if [[ -z $started ]]; then
    echo "the cluster did not start:" >&2
    tail -n 20 "$folder/server.log" >&2 || true
    as_owner "$bindir/pg_ctl" -D "$folder/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$folder"
    return 1
  fi
  {
    echo "host=127.0.0.1"
    echo "port=$port"
    echo "admin_user=zorvel_admin"
    echo "admin_password=$password"
    echo "folder=$folder"
  } >"$info.tmp"
  mv "$info.tmp" "$info"
  PGPASSWORD=$password "$bindir/psql" -X -q -h 127.0.0.1 -p "$port" -U zorvel_admin -d postgres \
    -v ON_ERROR_STOP=1 -f "$here/schema.sql" >"$folder/schema.log" 2>&1 || {
    cat "$folder/schema.log" >&2
    stop_cluster
    return 1
  }
  echo "cloud test cluster on 127.0.0.1:$port ($folder)"
}

cluster_is_up() {
  local folder
  folder=$(info_value folder)
  [[ -n $folder && -d $folder/data ]] && as_owner "$bindir/pg_ctl" -D "$folder/data" status >/dev/null 2>&1
}

# The live holders other than the caller, one pid a line.
other_live_holders() {
  [[ -f $info.holders ]] || return 0
  local pid
  while read -r pid; do
    if [[ -n $pid && $pid != "$holder" ]] && kill -0 "$pid" 2>/dev/null; then echo "$pid"; fi
  done <"$info.holders"
  return 0
}

holder=$PPID
mkdir -p "$(dirname "$info")"
exec 9>"$info.lock"
flock 9

case $command in
  start)
    others=$(other_live_holders)
    if [[ -n $others ]] && cluster_is_up; then
      echo "joining the cloud test cluster of $(info_value folder)"
    else
      others=""
      start_cluster
    fi
    printf '%s\n' $others "$holder" >"$info.holders"
    ;;
  stop)
    others=$(other_live_holders)
    if [[ -n $others ]]; then
      printf '%s\n' $others >"$info.holders"
    else
      stop_cluster
      rm -f "$info.holders"
    fi
    ;;
  *)
    echo "usage: $0 start|stop INFO_FILE" >&2
    exit 2
    ;;
esac

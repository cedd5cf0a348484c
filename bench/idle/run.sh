#!/usr/bin/env bash
# Idle cost benchmark: the daemon's CPU and Redis commands while nothing
# happens, its reaction time from idle to a configuration message and to a
# sample, and its stop time after SIGINT. About a minute.
#
#   bench/idle/run.sh [BUILD_DIR] [IDLE_SECONDS]      (CPUS=0,1 to choose the CPUs)
#
# Needs the private services (started here when missing) and a quiet
# arg:mlnsample: no other daemon may pop it meanwhile.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
idle=${2:-30}
cpus=${CPUS:-0-$(($(nproc) - 1))}
db=mlbench_idle_$$
root=$(mktemp -d /tmp/ml-idle-bench.XXXXXX)
sock="$top/var/mariadb/mysqld.sock"

drop_db() {
  if [ -S "$sock" ]; then
    mariadb --protocol=socket -S "$sock" -u root -e "DROP DATABASE IF EXISTS $db"
  else
    mariadb --protocol=tcp -h 127.0.0.1 -P 3306 -u "${MLDB_ADMIN_USER:-root}" \
      ${MLDB_ADMIN_PASSWORD:+-p"$MLDB_ADMIN_PASSWORD"} -e "DROP DATABASE IF EXISTS $db"
  fi
}
trap 'rm -rf "$root"; drop_db 2>/dev/null || true' EXIT

"$top/scripts/services" start >/dev/null
eval "$("$top/scripts/services" env)"
"$top/scripts/mldb-provision" "$db" >/dev/null
cmake --build "$build" --target idle_bench ml_daemon -j2 >/dev/null
echo "pinned to CPUs $cpus"
taskset -c "$cpus" "$build/bin/idle_bench" "$build/bin/ml_daemon" "$root" "$db" "$idle"

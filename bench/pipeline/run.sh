#!/usr/bin/env bash
# Sample pipeline benchmark: ml_daemon against a direct driver of the same
# per-sample Redis commands and SQL transaction, both pinned to the same CPUs.
#
#   bench/pipeline/run.sh [BUILD_DIR] [SAMPLES] [ROUNDS]   (CPUS=0,1 to choose the CPUs)
#
# Needs the private services (scripts/services start) and a quiet
# arg:mlnsample: no other daemon may pop it meanwhile.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
samples=${2:-6000}
rounds=${3:-5}
cpus=${CPUS:-0-$(($(nproc) - 1))}
db=mlbench_pipeline
root=$(mktemp -d /tmp/ml-pipeline-bench.XXXXXX)
trap 'rm -rf "$root"; mariadb --protocol=socket -S "$top/var/mariadb/mysqld.sock" -u root -e "DROP DATABASE IF EXISTS $db" 2>/dev/null || true' EXIT
"$top/scripts/services" start >/dev/null
"$top/scripts/mldb-provision" "$db" >/dev/null
cmake --build "$build" --target pipeline_bench ml_daemon >/dev/null
echo "pinned to CPUs $cpus"
taskset -c "$cpus" "$build/bin/pipeline_bench" "$build/bin/ml_daemon" "$root" "$db" "$samples" "$rounds"

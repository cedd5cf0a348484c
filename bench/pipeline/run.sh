#!/usr/bin/env bash
# Sample pipeline benchmark: ml_daemon's sustained rate against a per-sample
# and a batched direct driver of the same Redis commands and SQL work, all
# pinned to the same CPUs, for plain and for repeated traffic.
#
#   bench/pipeline/run.sh [BUILD_DIR] [SAMPLES] [ROUNDS]
#
# SAMPLES: each steady window also lasts until that many samples were
# counted in it (default 0: WINDOW seconds only); ROUNDS: alternating rounds
# (default 5). Environment: CPUS=0,1 to choose the CPUs, THREADS=N
# processing threads, BATCH=128 samples per batch of the batched driver,
# WINDOW=10 and WARMUP=2 seconds, VARIANTS=plain|repeated|both.
#
# Needs the private services (started here when missing) and a quiet
# arg:mlnsample: no other daemon may pop it meanwhile. With the defaults an
# invocation takes 9 to 12 minutes on two busy CPUs.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
samples=${2:-0}
rounds=${3:-5}
cpus=${CPUS:-0-$(($(nproc) - 1))}
db=mlbench_pipeline
"$top/scripts/services" start >/dev/null
# Two runs on the same services pop each other's samples: one at a time.
exec 9>"$top/var/pipeline-bench.lock"
flock -n 9 || { echo "run.sh: another pipeline benchmark is running on these services" >&2; exit 1; }
root=$(mktemp -d /tmp/ml-pipeline-bench.XXXXXX)
trap 'rm -rf "$root"; mariadb --protocol=socket -S "$top/var/mariadb/mysqld.sock" -u root -e "DROP DATABASE IF EXISTS $db" 2>/dev/null || true' EXIT
"$top/scripts/mldb-provision" "$db" >/dev/null
cmake --build "$build" --target pipeline_bench ml_daemon >/dev/null
echo "pinned to CPUs $cpus"
taskset -c "$cpus" "$build/bin/pipeline_bench" "$build/bin/ml_daemon" "$root" "$db" "$samples" "$rounds"

#!/usr/bin/env bash
# Soak: the daemon flooded for MINUTES (default 20) while its resident memory,
# open descriptors and threads are sampled every 10 s.
#
#   bench/soak/run.sh [MINUTES] [BUILD_DIR]       (BUILD_DIR default: build)
#
# The flood keeps the sample list topped up (a batch of 5000 whenever fewer
# than 5000 wait) for twelve collecting arguments that never become ready
# (count and time, 52 weeks), so storage, the pattern cap and the trimming
# of the temporary tables run all along; one count-only argument is sent back
# to collecting each minute after it is built, so the math threads, the model
# store and the notices run too. Prints the series, then for each of the three
# whether it stayed flat after the first minute:
#   threads      every sample equal to the one at one minute
#   descriptors  every sample within 2 of the one at one minute
#   memory       the mean of the last quarter within 5 % (or 4 MiB) of the
#                mean of the second minute
# Exit status 0 when all three are flat, 1 otherwise, 2 when it could not run.
# It floods arg:mlnsample, so it refuses servers not started from this
# checkout (run it in a private network namespace on a shared machine).
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
minutes=${1:-20}
bin="$top/${2:-build}/bin"
die() { echo "soak: $*" >&2; exit 2; }
rcli() { redis-cli -h 127.0.0.1 -p 6379 "$@"; }
own_pid() { [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

for b in ml_daemon ml_sample_push mlctl; do [ -x "$bin/$b" ] || die "$bin/$b is missing"; done
"$top/scripts/services" start >/dev/null || die "the services did not start"
eval "$("$top/scripts/services" env)"
export MLDB_HOST MLDB_PORT MLDB_USER MLDB_PASSWORD
# The server answering must be the one of the pid file (not one of another
# network namespace that happens to have the same pid file).
redis_pid=$(rcli info server | tr -d '\r' | awk -F: '$1 == "process_id" {print $2}')
own_pid "$top/var/redis/redis.pid" && [ "$redis_pid" = "$(cat "$top/var/redis/redis.pid")" ] ||
  die "Redis was not started from this checkout; the flood would take other people's samples"
root=$(mktemp -d /tmp/mlsoak.XXXXXX)
export ML_DAEMON_ROOT=$root
dom=$((RANDOM % 9000 + 1000))
dbname="mlsoak_$dom"
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rcli --scan --pattern "arg:*$dom:*" | xargs -r redis-cli -h 127.0.0.1 -p 6379 del >/dev/null
  rcli del arg:mlnsample "domain_info:$dom" "policy:root:soak$dom" "policy:root:soakc$dom" >/dev/null
  rcli hdel domains "$dom" >/dev/null
  mariadb --protocol=socket -S "$top/var/mariadb/mysqld.sock" -u root -e "DROP DATABASE IF EXISTS $dbname"
  rm -rf "$root"
}
trap cleanup EXIT

"$top/scripts/mldb-provision" "$dbname" >/dev/null || die "provisioning failed"
rcli hset "policy:root:soak$dom" sample_collecting_mode 0 hmm_engine 1 model_min_learn_time 52 \
  sl_automatic_definitely 1 >/dev/null
rcli hset "domain_info:$dom" adomname root policy_name "soak$dom" domain soak.example \
  mysql_dbname "$dbname" >/dev/null
rcli hset domains "$dom" "$dom" >/dev/null
now=$(date +%s)
for i in $(seq 1 12); do
  rcli hset "arg:$dom:$i" arg_learn_stat 1 events 0 start_time "$now" normalcount 0 \
    abnormalcount 0 arg_name "a$i" urlid 1 >/dev/null
done
# The count-only argument lives in a second domain sharing the database.
cdom=$((dom + 1))
rcli hset "policy:root:soakc$dom" sample_collecting_mode 1 hmm_engine 1 model_min_learn_time 1 \
  sl_automatic_definitely 1 >/dev/null
rcli hset "domain_info:$cdom" adomname root policy_name "soakc$dom" domain soakc.example \
  mysql_dbname "$dbname" >/dev/null
rcli hset domains "$cdom" "$cdom" >/dev/null
rcli hset "arg:$cdom:50" arg_learn_stat 1 events 0 start_time "$now" normalcount 0 \
  abnormalcount 0 arg_name built urlid 1 >/dev/null

batch="$root/batch"
awk -v d="$dom" -v c="$cdom" 'BEGIN {
  srand(7)
  split("id name item q page", w, " ")
  for (k = 0; k < 5000; k++) {
    r = int(rand() * 1000)
    if (k % 10 == 0) printf "%d 1 50 item%d\n", c, r % 97
    else printf "%d 1 %d %s%d\n", d, 1 + k % 12, w[1 + r % 5], int(rand() * 100000) % (50 + r)
  }
}' >"$batch"

"$bin/ml_daemon" >"$root/daemon.out" 2>&1 &
daemon=$!
pids+=("$daemon")
end=$((SECONDS + minutes * 60))

flood() {
  while ((SECONDS < end)); do
    if (($(rcli llen arg:mlnsample) < 5000)); then
      "$bin/ml_sample_push" -f "$batch" >/dev/null || echo "soak: a push failed" >&2
    else
      sleep 0.2
    fi
  done
}
relearn() {
  while ((SECONDS < end)); do
    sleep 60
    if [ "$(rcli hget "arg:$cdom:50" arg_learn_stat)" = 3 ]; then
      echo built >>"$root/builds"
      "$bin/mlctl" relearn "$cdom" 50 >/dev/null
    fi
  done
}
flood &
pids+=($!)
relearn &
pids+=($!)

# sample: seconds rss_kib descriptors threads
series="$root/series"
t0=$SECONDS
echo "   s  rss_KiB  fds  threads  queued_in_list  models_built"
while ((SECONDS < end)); do
  kill -0 "$daemon" 2>/dev/null || die "the daemon ended early: $(tail -3 "$root/daemon.out")"
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$daemon/status")
  thr=$(awk '/^Threads/ {print $2}' "/proc/$daemon/status")
  fds=$(ls "/proc/$daemon/fd" | wc -l)
  builds=$(cat "$root/builds" 2>/dev/null | wc -l)
  printf "%4d %8d %4d %8d %15d %13s\n" $((SECONDS - t0)) "$rss" "$fds" "$thr" \
    "$(rcli llen arg:mlnsample)" "$builds"
  echo "$((SECONDS - t0)) $rss $fds $thr" >>"$series"
  sleep 10
done
counted=0
for i in $(seq 1 12); do counted=$((counted + $(rcli hget "arg:$dom:$i" normalcount))); done
echo "soak: $minutes min, $counted samples counted on the collecting arguments"
kill -TERM "$daemon"
wait "$daemon"
echo "soak: daemon exit status $?"

awk '
  { t[NR] = $1; rss[NR] = $2; fd[NR] = $3; th[NR] = $4 }
  END {
    for (i = 1; i <= NR && t[i] < 60; i++) {}
    base = i
    if (base > NR) { print "soak: too short to judge (needs more than a minute)"; exit 1 }
    thr_ok = 1; fd_ok = 1
    for (i = base; i <= NR; i++) {
      if (th[i] != th[base]) thr_ok = 0
      if (fd[i] - fd[base] > 2 || fd[base] - fd[i] > 2) fd_ok = 0
    }
    n2 = 0; s2 = 0
    for (i = base; i <= NR && t[i] < 120; i++) { s2 += rss[i]; n2++ }
    q = int((NR - base + 1) / 4); if (q < 1) q = 1
    nl = 0; sl = 0
    for (i = NR - q + 1; i <= NR; i++) { sl += rss[i]; nl++ }
    m2 = s2 / n2; ml = sl / nl
    tol = m2 * 0.05; if (tol < 4096) tol = 4096
    mem_ok = (ml - m2 <= tol)
    printf "soak: threads %s (%d at one minute)\n", thr_ok ? "flat" : "CHANGED", th[base]
    printf "soak: descriptors %s (%d at one minute)\n", fd_ok ? "flat" : "CHANGED", fd[base]
    printf "soak: memory %s (second minute %.0f KiB, last quarter %.0f KiB, %+.1f %%)\n",
      mem_ok ? "flat" : "GREW", m2, ml, (ml - m2) * 100 / m2
    exit !(thr_ok && fd_ok && mem_ok)
  }' "$series"

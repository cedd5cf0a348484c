#!/usr/bin/env bash
# Runs the real-traffic detection benchmark end to end:
#   bench/detection/real-traffic.sh DATA_DIR [BUILD_DIR]
# DATA_DIR holds the access logs below (kept out of the repository: their
# licences are their owners' and they are megabytes). When a file is missing
# the script tries to download it, and otherwise says where it comes from.
# Each log is learned and judged as a data set of its own, under every way of
# repeating its training requests (tamper.h), and reported on its own.
#
# The two tuning sets, on which the rules are tuned (also reported together):
#   labor-07-example-access.log  github.com/Apache-Labor/labor,
#                                labor-07/labor-07-example-access.log
#                                (a web mail application, 10,000 requests,
#                                2015-05; CC BY-NC-SA 4.0, as the whole
#                                Apache-Labor repository)
#   apache_logs                  github.com/elastic/examples,
#                                "Common Data Formats/apache_logs/apache_logs"
#                                (a personal web site, 10,000 requests, 2015-05;
#                                Apache 2.0)
# The held-out set, for checking rules tuned on the others; it is learned but
# its figures are judged and shown only with REAL_BENCH_SHOW_HELD_OUT=1, so
# that tuning does not look at it:
#   labor-04-example-access.log  github.com/Apache-Labor/labor at commit
#                                c0469ba7189d7c5a63bbe720db0544880f9f9aad,
#                                labor-04/labor-04-example-access.log
#                                (a WordPress blog, 10,000 requests, 2015-09,
#                                4,500 with a query string, mostly version
#                                numbers of scripts and style sheets; another
#                                site and month than labor-07; CC BY-NC-SA 4.0).
#                                Pinned: a later commit rewrote the file for a
#                                new log format.
# The attack payloads come from Debian's wfuzz and sqlmap (install-deps.sh).
# REAL_BENCH_MISSES (see real_traffic_bench.cc) is passed through.
set -eu
data=${1:?usage: real-traffic.sh DATA_DIR [BUILD_DIR]}
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${2:-$top/build}
raw=https://raw.githubusercontent.com
declare -A source=(
  [labor-07-example-access.log]="$raw/Apache-Labor/labor/master/labor-07/labor-07-example-access.log"
  [apache_logs]="$raw/elastic/examples/master/Common%20Data%20Formats/apache_logs/apache_logs"
  [labor-04-example-access.log]="$raw/Apache-Labor/labor/c0469ba7189d7c5a63bbe720db0544880f9f9aad/labor-04/labor-04-example-access.log"
)
# The held-out file as measured; a different one would not be the same hold-out.
held_sha256=63dee7980049a43d77c2fea5707843d8a57e36c516479223ed570803b980fe4e
mkdir -p "$data"
for f in "${!source[@]}"; do
  [ -s "$data/$f" ] && continue
  if ! curl -fsSL --max-time 120 -o "$data/$f" "${source[$f]}"; then
    rm -f "$data/$f"
    echo "missing $data/$f: get it from ${source[$f]}" >&2
    exit 2
  fi
done
if ! echo "$held_sha256  $data/labor-04-example-access.log" | sha256sum -c --status; then
  echo "$data/labor-04-example-access.log is not the held-out file measured" \
    "(sha256 $held_sha256): get it from ${source[labor-04-example-access.log]}" >&2
  exit 2
fi
[ -x "$build/bin/real_traffic_bench" ] || cmake --build "$build" -j2 --target real_traffic_bench
show=()
[ "${REAL_BENCH_SHOW_HELD_OUT:-0}" = 1 ] && show=(--show-held-out)
exec "$build/bin/real_traffic_bench" "${show[@]}" \
  "$data/labor-07-example-access.log" "$data/apache_logs" \
  --held-out "$data/labor-04-example-access.log"

#!/usr/bin/env bash
# Runs the real-traffic detection benchmark end to end:
#   bench/detection/real-traffic.sh DATA_DIR [BUILD_DIR]
# DATA_DIR holds the access logs below (kept out of the repository: their
# licences are their owners' and they are megabytes). When a file is missing
# the script tries to download it, and otherwise says where it comes from.
#   labor-07-example-access.log  github.com/Apache-Labor/labor,
#                                labor-07/labor-07-example-access.log
#                                (a web mail application, 10,000 requests)
#   apache_logs                  github.com/elastic/examples,
#                                "Common Data Formats/apache_logs/apache_logs"
#                                (a personal web site, 10,000 requests)
# The attack payloads come from Debian's wfuzz and sqlmap (install-deps.sh).
set -eu
data=${1:?usage: real-traffic.sh DATA_DIR [BUILD_DIR]}
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${2:-$top/build}
raw=https://raw.githubusercontent.com
declare -A source=(
  [labor-07-example-access.log]="$raw/Apache-Labor/labor/master/labor-07/labor-07-example-access.log"
  [apache_logs]="$raw/elastic/examples/master/Common%20Data%20Formats/apache_logs/apache_logs"
)
mkdir -p "$data"
for f in "${!source[@]}"; do
  [ -s "$data/$f" ] && continue
  if ! curl -fsSL --max-time 120 -o "$data/$f" "${source[$f]}"; then
    rm -f "$data/$f"
    echo "missing $data/$f: get it from ${source[$f]}" >&2
    exit 2
  fi
done
[ -x "$build/bin/real_traffic_bench" ] || cmake --build "$build" -j2 --target real_traffic_bench
exec "$build/bin/real_traffic_bench" "$data/labor-07-example-access.log" "$data/apache_logs"

#!/usr/bin/env bash
# Detection end to end, as in production: a web shop's traffic is fed through
# mlfeed and the running daemon, which learns every argument on its own
# (count-only policy, ready at 1500 samples; scripts/demo does this part), and
# held-out traffic, as is and changed per anomaly kind (tamper_requests), is
# judged with mlfeed --judge, that is by the verdict library against the
# models, boxplots and patterns the daemon stored.
#
#   bench/detection/shop-daemon.sh [OUTDIR]      (default var/shop-detect)
#
# SHOP_DOMAIN (default 3) is the domain it learns into; a second run reuses
# what was learned (mlctl relearn, or another SHOP_DOMAIN, starts over).
# SHOP_SEED changes the learned traffic, HELD_SEED the held-out one.
# SHOP_REPEAT=plain|k2|k3|twins|bursts (default plain) makes the learned
# traffic repeat itself as real traffic does, each round through
# `tamper_requests --repeat` (bench/detection/tamper.h has the kinds: every
# request twice or three times in a row, every request again 1 to 20 requests
# later, one in a hundred 200 to 500 times in a row); the held-out traffic is
# the same whatever the repetition. Each repetition learns into its own
# domain unless SHOP_DOMAIN says otherwise (plain 3, k2 31, k3 32, twins 33,
# bursts 34) and writes to OUTDIR var/shop-detect-KIND, so that runs do not
# mix what they learned.
# Prints one row per kind: requests, and the share flagged with a score below
# q5, below q4, by the verdict (potential, definite or unknown argument) and
# by its definite judgements alone.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
repeat=${SHOP_REPEAT:-plain}
case $repeat in
  plain) own_domain=3 ;;
  k2) own_domain=31 ;;
  k3) own_domain=32 ;;
  twins) own_domain=33 ;;
  bursts) own_domain=34 ;;
  *) echo "shop-daemon: SHOP_REPEAT must be plain, k2, k3, twins or bursts" >&2; exit 2 ;;
esac
if [ "$repeat" = plain ]; then out=${1:-$top/var/shop-detect}; else out=${1:-$top/var/shop-detect-$repeat}; fi
domain=${SHOP_DOMAIN:-$own_domain}
bin=$top/build/bin
mkdir -p "$out"
if [ -f "$top/build/CMakeCache.txt" ]; then
  cmake --build "$top/build" -j2 --target ml_daemon mlfeed mlfeed_shop mlctl tamper_requests >/dev/null
else
  "$top/scripts/build" build -DML_BUILD_TESTS=OFF >/dev/null
fi

# Learning, through mlfeed and the daemon; plain traffic goes as generated.
filter=""
if [ "$repeat" != plain ]; then
  filter="$(printf %q "$bin/tamper_requests") --repeat $repeat - \$round"
fi
echo "learning: domain $domain, repetition $repeat"
DEMO_DOMAIN=$domain DEMO_SEED=${SHOP_SEED:-3} DEMO_FILTER=$filter "$top/scripts/demo" "$out/learn" \
  >"$out/learn.log" 2>&1 || { tail -20 "$out/learn.log" >&2; exit 2; }
grep -E '^learning: done|arguments:' "$out/learn.log" | tail -2

# Held-out traffic and its changed copies.
"$bin/mlfeed_shop" --seed "${HELD_SEED:-424242}" --requests 4000 >"$out/held.http"
"$bin/tamper_requests" "$out/held.http" "$out" >/dev/null

printf '%-13s %6s | %8s %8s %8s %8s\n' kind n q5 q4 verdict definite
for kind in normal append insert replace letters sign longer reencode wfuzz sqlmap unknown_name; do
  "$bin/mlfeed" -q -d "$domain" --judge --args "$out/$kind.http" >"$out/$kind.tsv"
  awk -F'\t' -v kind="$kind" '
    /^#/ { next }
    { n[$1] = 1
      if ($6 != "-" && $6 + 0 < $8 + 0) q5[$1] = 1
      if ($6 != "-" && $6 + 0 < $7 + 0) q4[$1] = 1
      if ($2 == "potential" || $2 == "definite" || $2 == "unknown_argument") v[$1] = 1
      if ($2 == "definite") d[$1] = 1 }
    END { t = length(n); if (!t) t = 1
      printf "%-13s %6d | %7.2f%% %7.2f%% %7.2f%% %7.2f%%\n", kind, length(n),
        100 * length(q5) / t, 100 * length(q4) / t, 100 * length(v) / t, 100 * length(d) / t }' \
    "$out/$kind.tsv" | tee -a "$out/table.txt.new"
done
mv "$out/table.txt.new" "$out/table.txt"

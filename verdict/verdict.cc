// Verdict library: the context, the notice drain and the judgement.
//
// A judgement runs in this order: drain the notices that have arrived (each
// drops the cached arguments it names), refuse an over-long value, find the
// domain and the argument in the cache (loading what is missing or older than
// max_age), then score the value's pattern against the model and place the
// score against the fences. A pattern the argument learned is normal whatever
// its score: those values were seen while learning, and the model's low score
// for a rare but genuine shape is what makes most false alarms.
//
// The hot path (a cached learned argument, no nearest patterns asked) makes
// no heap allocation: the symbols and the pattern live on the stack and the
// lookups take string views. One poll of the subscription socket per
// millisecond (notice_interval_us) is the price of never using a model long
// after its notice.
#include "verdict/verdict.h"

#include <signal.h>
#include <time.h>
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "platform/framework/msg_info.h"
#include "platform/mldb/mldb.h"
#include "platform/redis/redisconn.h"
#include "verdict/verdict_cache.h"

using mlv::arg_entry;
using mlv::domain_entry;

struct mlv_ctx {
  mlv_options opts = {};
  std::string host;
  redis_conn *redis = nullptr;  // commands
  redis_conn *sub = nullptr;    // subscribed to the notices; null when not following them
  ml_db_obj db = {};
  std::unordered_map<uint32_t, domain_entry> domains;
  std::unordered_map<uint64_t, std::unique_ptr<arg_entry>> args;  // key: domain << 32 | arg
  size_t arg_bytes = 0;    // sum of the cached arguments' bytes
  size_t byte_limit = 0;   // beyond it the least recently used arguments go
  uint64_t clock = 0;      // judgements so far: the arguments' last use
  int64_t drained_at = 0;  // monotonic nanoseconds of the last read of the notices
  // Arguments named by a relearn or manual-learning request, and until when
  // (coarse seconds) they are read again every second (follow_request).
  std::unordered_map<uint64_t, int64_t> requested;
  mlv_cache_stats stats = {};
};

namespace {

constexpr const char *kConfChannel = "channel1";
constexpr size_t kDefaultCacheMib = 64;
// Domains judged: each costs a few hundred bytes, but a caller judging
// random domain ids would otherwise grow the table without end.
constexpr size_t kDomainsMax = 4096;
// How long an argument named by a request is read again, and how many such
// arguments are followed at once (hostile messages could name any number).
constexpr int64_t kFollowSeconds = 3;
constexpr size_t kRequestedMax = 4096;
// An eviction frees down to this share of the limit, so that a stream of
// new arguments pays for one sort per many loads, not one per load.
constexpr double kEvictTo = 0.75;

size_t entry_bytes(const arg_entry &e) { return e.bytes + 4 * sizeof(void *); }

// Every removal from the cache goes through here, so its size stays exact.
std::unordered_map<uint64_t, std::unique_ptr<arg_entry>>::iterator erase_arg(
    mlv_ctx *ctx, std::unordered_map<uint64_t, std::unique_ptr<arg_entry>>::iterator it) {
  ctx->arg_bytes -= entry_bytes(*it->second);
  ctx->stats.drops++;
  return ctx->args.erase(it);
}

// Drops the arguments used least recently until the cache is back under
// kEvictTo of its limit; the one just loaded (keep) stays whatever its size.
void evict(mlv_ctx *ctx, uint64_t keep) {
  if (ctx->arg_bytes <= ctx->byte_limit) return;
  std::vector<std::pair<uint64_t, uint64_t>> by_use;  // (last use, key)
  by_use.reserve(ctx->args.size());
  for (const auto &[key, e] : ctx->args)
    if (key != keep) by_use.emplace_back(e->last_used, key);
  std::sort(by_use.begin(), by_use.end());
  const size_t target = static_cast<size_t>(static_cast<double>(ctx->byte_limit) * kEvictTo);
  for (const auto &[used, key] : by_use) {
    if (ctx->arg_bytes <= target) break;
    erase_arg(ctx, ctx->args.find(key));
  }
}

uint64_t arg_key(uint32_t domain_id, uint32_t arg_id) {
  return (static_cast<uint64_t>(domain_id) << 32) | arg_id;
}

void drop_arg(mlv_ctx *ctx, uint64_t key) {
  auto it = ctx->args.find(key);
  if (it != ctx->args.end()) erase_arg(ctx, it);
}

// A model-ready, building or discard notice names the argument by domain
// name, URL id text and argument name, never by number. A cut notice names
// a prefix; one that names no domain may name anything.
void on_arg_notice(mlv_ctx *ctx, const char *text, size_t len) {
  mlv::notice n;
  if (!mlv::decode_notice(std::string_view(text, len), &n)) {
    mlv_flush(ctx);
    return;
  }
  for (auto &[id, d] : ctx->domains)
    if (mlv::notice_names_domain(n, d.name)) d.scanned = false;  // a new name may have appeared
  for (auto it = ctx->args.begin(); it != ctx->args.end();) {
    const arg_entry &e = *it->second;
    auto d = ctx->domains.find(e.domain_id);
    const std::string_view dname = d == ctx->domains.end() ? std::string_view() : d->second.name;
    it = mlv::notice_names(n, dname, e.url_id, e.name) ? erase_arg(ctx, it) : std::next(it);
  }
}

// Relearn and manual-learning requests change the state without a notice
// to the proxy; they name the argument by number.
void on_conf_message(mlv_ctx *ctx, const char *text, size_t len) {
  mlne_msg_info info;
  if (mlne_get_msg_info(text, static_cast<int>(len), &info) != 0) return;
  if (info.event_class != 2 && info.event_class != 4) return;
  const uint64_t key = arg_key(info.domain_id, info.arg_id);
  drop_arg(ctx, key);
  if (ctx->requested.size() >= kRequestedMax) ctx->requested.clear();
  ctx->requested[key] = mlv::now_seconds() + kFollowSeconds;
}

// A request on the configuration channel reaches this context and the daemon
// at once, and the daemon changes the argument's state only when it has read
// it: a load right after the notice may still find the old state, which would
// then stand for max_age. For a few seconds after a request its argument is
// read again every second.
void follow_request(mlv_ctx *ctx, uint64_t key, arg_entry *e) {
  auto it = ctx->requested.find(key);
  if (it == ctx->requested.end()) return;
  const int64_t now = mlv::now_seconds();
  if (now >= it->second) {
    ctx->requested.erase(it);
    return;
  }
  e->loaded_at = now - static_cast<int64_t>(ctx->opts.max_age_seconds) + 1;
}

// A write to a Redis or database socket the server has closed raises
// SIGPIPE, whose default action ends the process: a Redis restart at the
// wrong moment would kill the proxy worker. The library sets it to be
// ignored unless the host installed a handler of its own (docs/verdict.md).
void ignore_sigpipe() {
  struct sigaction old = {};
  if (sigaction(SIGPIPE, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return;
  signal(SIGPIPE, SIG_IGN);
}

// Reading the subscription is a system call (a poll of its socket), which
// costs more than a whole judgement of a cached argument; a proxy judging
// five values of a request reads it once. A model is then used at most
// notice_interval_us after its notice arrived.
bool notices_due(mlv_ctx *ctx) {
  if (ctx->opts.notice_interval_us == 0) return true;
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const int64_t now = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  if (ctx->drained_at != 0 &&
      now - ctx->drained_at < static_cast<int64_t>(ctx->opts.notice_interval_us) * 1000)
    return false;
  ctx->drained_at = now;
  return true;
}

void drain_notices(mlv_ctx *ctx) {
  if (!ctx->sub || !notices_due(ctx)) return;
  while (redis_reply *r = redisconn_get_subscribe(ctx->sub)) {
    ctx->stats.notices++;
    const redis_reply &channel = r->element[1], &payload = r->element[2];
    if (channel.type == ML_REDIS_STRING && strcmp(channel.str, kConfChannel) == 0)
      on_conf_message(ctx, payload.str, payload.len);
    else if (payload.type == ML_REDIS_STRING)
      on_arg_notice(ctx, payload.str, payload.len);
    redisconn_free_result(r);
  }
}

bool stale(const mlv_ctx *ctx, int64_t loaded_at) {
  return mlv::now_seconds() - loaded_at >= static_cast<int64_t>(ctx->opts.max_age_seconds);
}

// The domain entry, loaded when missing or old; null after a Redis failure.
domain_entry *get_domain(mlv_ctx *ctx, uint32_t domain_id, mlv_result *out) {
  auto it = ctx->domains.find(domain_id);
  if (it != ctx->domains.end() && !stale(ctx, it->second.loaded_at)) return &it->second;
  domain_entry fresh;
  mlv::load_err err;
  if (mlv::load_domain(ctx->redis, domain_id, &fresh, &err) != 0) {
    mlv::set_verdict(out, MLV_ERROR, "domain %u: %s", domain_id, err.c_str());
    return nullptr;
  }
  if (it != ctx->domains.end()) {  // keep the URL index; only the names are refreshed
    fresh.urls.swap(it->second.urls);
    fresh.scanned = it->second.scanned;
    fresh.scanned_at = it->second.scanned_at;
  } else if (ctx->domains.size() >= kDomainsMax) {
    // Unknown domains first: they are what random ids leave behind.
    std::erase_if(ctx->domains, [](const auto &kv) { return !kv.second.known; });
    if (ctx->domains.size() >= kDomainsMax) ctx->domains.clear();
  }
  domain_entry &slot = ctx->domains[domain_id];
  slot = std::move(fresh);
  return &slot;
}

// The argument entry, loaded when missing or old; null after a failure.
const arg_entry *get_arg(mlv_ctx *ctx, const domain_entry &d, uint32_t domain_id, uint32_t arg_id,
                         mlv_result *out) {
  const uint64_t key = arg_key(domain_id, arg_id);
  auto it = ctx->args.find(key);
  if (it != ctx->args.end() && !stale(ctx, it->second->loaded_at)) {
    it->second->last_used = ++ctx->clock;
    return it->second.get();
  }
  auto fresh = std::make_unique<arg_entry>();
  mlv::load_err err;
  if (mlv::load_arg(ctx->redis, &ctx->db, d, domain_id, arg_id, fresh.get(), &err) != 0) {
    mlv::set_verdict(out, MLV_ERROR, "argument %u:%u: %s", domain_id, arg_id, err.c_str());
    return nullptr;
  }
  ctx->stats.loads++;
  fresh->last_used = ++ctx->clock;
  follow_request(ctx, key, fresh.get());
  if (it != ctx->args.end()) {
    ctx->arg_bytes -= entry_bytes(*it->second);
    it->second = std::move(fresh);
  } else {
    it = ctx->args.emplace(key, std::move(fresh)).first;
  }
  ctx->arg_bytes += entry_bytes(*it->second);
  const arg_entry *e = it->second.get();
  evict(ctx, key);  // it stays valid: the entry just loaded is never evicted
  return e;
}

bool learned_state(int state) {
  return state == MLV_STATE_LEARNED || state == MLV_STATE_MANUALLY_LEARNED;
}

int judge_entry(const arg_entry &e, const char *value, size_t len, int flags, mlv_result *out) {
  out->state = e.state;
  out->url_id = e.url_id;
  out->arg_id = e.arg_id;
  if (e.state == MLV_STATE_NONE)
    return mlv::set_verdict(out, MLV_NOT_LEARNED, "argument %u:%u is not known", e.domain_id,
                            e.arg_id);
  if (!learned_state(e.state))
    return mlv::set_verdict(out, MLV_NOT_LEARNED, "argument '%s' is %s", e.name.c_str(),
                            mlv_state_name(e.state));
  if (!e.problem.empty())
    return mlv::set_verdict(out, MLV_NOT_LEARNED, "argument '%s' is %s, but %s", e.name.c_str(),
                            mlv_state_name(e.state), e.problem.c_str());
  return mlv::judge_value(e, value, len, flags, out);
}

// Common start of both judge calls: checks, notices, the length rule.
bool begin(mlv_ctx *ctx, uint32_t domain_id, const char *value, size_t len, mlv_result *out,
           int *verdict) {
  memset(out, 0, offsetof(mlv_result, pattern));
  out->pattern[0] = '\0';
  out->nearest_count = 0;
  out->reason[0] = '\0';
  out->domain_id = domain_id;
  if (!ctx || (!value && len > 0)) {
    *verdict = mlv::set_verdict(out, MLV_ERROR, "no context or no value");
    return false;
  }
  drain_notices(ctx);
  if (len > MLV_MAX_VALUE_LEN) {
    *verdict = mlv::set_verdict(out, MLV_DEFINITE, "value of %zu bytes, longer than %d", len,
                                MLV_MAX_VALUE_LEN);
    return false;
  }
  return true;
}

// A name the URL's index lacks: unknown when every argument of the URL is
// learned, else the URL itself is still learning.
int judge_missing_name(mlv_ctx *ctx, const domain_entry &d, uint32_t domain_id, uint32_t url_id,
                       std::string_view name, mlv_result *out) {
  auto u = d.urls.find(url_id);
  if (u == d.urls.end() || u->second.empty())
    return mlv::set_verdict(out, MLV_NOT_LEARNED, "URL %u of domain %u has no known argument",
                            url_id, domain_id);
  for (const auto &[other, arg_id] : u->second) {
    const arg_entry *e = get_arg(ctx, d, domain_id, arg_id, out);
    if (!e) return MLV_ERROR;
    if (!learned_state(e->state))
      return mlv::set_verdict(out, MLV_NOT_LEARNED, "URL %u is still learning: '%s' is %s", url_id,
                              other.c_str(), mlv_state_name(e->state));
  }
  return mlv::set_verdict(
      out, MLV_UNKNOWN_ARGUMENT, "URL %u never had '%.*s'; its %zu arguments are learned", url_id,
      static_cast<int>(std::min<size_t>(name.size(), 60)), name.data(), u->second.size());
}

// The argument id of (url, name) in the index, or false.
bool find_name(const domain_entry &d, uint32_t url_id, std::string_view name, uint32_t *arg_id) {
  auto u = d.urls.find(url_id);
  if (u == d.urls.end()) return false;
  auto a = u->second.find(name);
  if (a == u->second.end()) return false;
  *arg_id = a->second;
  return true;
}

// The domain for a judgement, or the verdict when there is none to use.
domain_entry *judge_domain(mlv_ctx *ctx, uint32_t domain_id, mlv_result *out, int *verdict) {
  domain_entry *d = get_domain(ctx, domain_id, out);
  if (!d) {
    *verdict = MLV_ERROR;
    return nullptr;
  }
  if (!d->known) {
    *verdict = mlv::set_verdict(out, MLV_NOT_LEARNED, "domain %u is not known", domain_id);
    return nullptr;
  }
  return d;
}

}  // namespace

void mlv_options_init(mlv_options *opts) {
  if (!opts) return;
  memset(opts, 0, sizeof *opts);
  opts->redis_host = ML_REDIS_HOST;
  opts->redis_port = ML_REDIS_PORT;
  opts->max_age_seconds = 300;
  opts->rescan_seconds = 5;
  opts->subscribe = 1;
  opts->notice_interval_us = 1000;
}

mlv_ctx *mlv_open(const mlv_options *opts) {
  std::unique_ptr<mlv_ctx> ctx(new (std::nothrow) mlv_ctx);
  if (!ctx) return nullptr;
  mlv_options_init(&ctx->opts);
  if (opts) ctx->opts = *opts;
  ctx->host = ctx->opts.redis_host ? ctx->opts.redis_host : ML_REDIS_HOST;
  ctx->opts.redis_host = ctx->host.c_str();
  if (ctx->opts.redis_port <= 0) ctx->opts.redis_port = ML_REDIS_PORT;
  if (ctx->opts.cache_limit_mib <= 0) ctx->opts.cache_limit_mib = kDefaultCacheMib;
  ctx->byte_limit = static_cast<size_t>(ctx->opts.cache_limit_mib) << 20;
  ignore_sigpipe();
  ctx->redis = redisconn_connect(ctx->host.c_str(), ctx->opts.redis_port);
  if (!ctx->redis) return nullptr;
  redisconn_set_timeout(ctx->redis, static_cast<int>(ctx->opts.timeout_ms));
  init_ml_db_obj(&ctx->db);
  if (ctx->opts.subscribe) {
    ctx->sub = redisconn_connect(ctx->host.c_str(), ctx->opts.redis_port);
    char cmd[128];
    int n = snprintf(cmd, sizeof cmd, "SUBSCRIBE %s %s", ML_ARG_EVENT_CHANNEL, kConfChannel);
    if (!ctx->sub) {
      mlv_close(ctx.release());
      return nullptr;
    }
    redisconn_set_timeout(ctx->sub, static_cast<int>(ctx->opts.timeout_ms));
    redis_reply *r = redisconn_run_command(ctx->sub, cmd, n);
    if (!r) {
      mlv_close(ctx.release());
      return nullptr;
    }
    redisconn_free_result(r);
  }
  return ctx.release();
}

void mlv_close(mlv_ctx *ctx) {
  if (!ctx) return;
  redisconn_free(ctx->redis);
  redisconn_free(ctx->sub);
  if (ctx->db.db_close) ctx->db.db_close(&ctx->db);
  delete ctx;
}

int mlv_judge_by_name(mlv_ctx *ctx, uint32_t domain_id, uint32_t url_id, const char *name,
                      size_t name_len, const char *value, size_t len, int flags, mlv_result *out) {
  if (!out) return MLV_ERROR;
  int verdict = MLV_ERROR;
  if (!begin(ctx, domain_id, value, len, out, &verdict)) return verdict;
  out->url_id = url_id;
  if (!name) return mlv::set_verdict(out, MLV_ERROR, "no argument name");
  domain_entry *d = judge_domain(ctx, domain_id, out, &verdict);
  if (!d) return verdict;
  const std::string_view key(name, name_len);
  uint32_t arg_id = 0;
  if (!find_name(*d, url_id, key, &arg_id)) {
    const int64_t now = mlv::now_seconds();
    if (!d->scanned || now - d->scanned_at >= static_cast<int64_t>(ctx->opts.rescan_seconds)) {
      mlv::load_err err;
      if (mlv::scan_domain(ctx->redis, domain_id, d, &err) != 0)
        return mlv::set_verdict(out, MLV_ERROR, "%s", err.c_str());
    }
    if (!find_name(*d, url_id, key, &arg_id))
      return judge_missing_name(ctx, *d, domain_id, url_id, key, out);
  }
  const arg_entry *e = get_arg(ctx, *d, domain_id, arg_id, out);
  if (!e) return MLV_ERROR;
  return judge_entry(*e, value, len, flags, out);
}

int mlv_judge_by_id(mlv_ctx *ctx, uint32_t domain_id, uint32_t arg_id, const char *value,
                    size_t len, int flags, mlv_result *out) {
  if (!out) return MLV_ERROR;
  int verdict = MLV_ERROR;
  if (!begin(ctx, domain_id, value, len, out, &verdict)) return verdict;
  out->arg_id = arg_id;
  domain_entry *d = judge_domain(ctx, domain_id, out, &verdict);
  if (!d) return verdict;
  const arg_entry *e = get_arg(ctx, *d, domain_id, arg_id, out);
  if (!e) return MLV_ERROR;
  return judge_entry(*e, value, len, flags, out);
}

void mlv_flush(mlv_ctx *ctx) {
  if (!ctx) return;
  ctx->stats.drops += ctx->args.size();
  ctx->args.clear();
  ctx->arg_bytes = 0;
  ctx->domains.clear();
}

void mlv_stats(const mlv_ctx *ctx, mlv_cache_stats *out) {
  if (!ctx || !out) return;
  *out = ctx->stats;
  out->arguments = ctx->args.size();
  out->bytes = ctx->arg_bytes;
}

int mlv_action_of(int verdict, int point) {
  switch (verdict) {
    case MLV_DEFINITE:
    case MLV_UNKNOWN_ARGUMENT:
      return MLV_BLOCK;
    case MLV_POTENTIAL:
      return point == MLV_POINT_POTENTIAL ? MLV_BLOCK : MLV_LOG;
    default:
      return MLV_PASS;
  }
}

const char *mlv_action_name(int action) {
  switch (action) {
    case MLV_PASS:
      return "pass";
    case MLV_LOG:
      return "log";
    case MLV_BLOCK:
      return "block";
    default:
      return "?";
  }
}

int mlv_point_parse(const char *name, int *point) {
  if (!name || !point) return -1;
  if (strcmp(name, "definite") == 0) {
    *point = MLV_POINT_DEFINITE;
    return 0;
  }
  if (strcmp(name, "potential") == 0) {
    *point = MLV_POINT_POTENTIAL;
    return 0;
  }
  return -1;
}

const char *mlv_verdict_name(int v) {
  switch (v) {
    case MLV_NORMAL:
      return "normal";
    case MLV_POTENTIAL:
      return "potential";
    case MLV_DEFINITE:
      return "definite";
    case MLV_UNKNOWN_ARGUMENT:
      return "unknown_argument";
    case MLV_NOT_LEARNED:
      return "not_learned";
    case MLV_ERROR:
      return "error";
    default:
      return "?";
  }
}

const char *mlv_state_name(int s) {
  switch (s) {
    case MLV_STATE_NONE:
      return "none";
    case MLV_STATE_COLLECTING:
      return "collecting";
    case MLV_STATE_BUILDING:
      return "building";
    case MLV_STATE_LEARNED:
      return "learned";
    case MLV_STATE_MANUALLY_LEARNED:
      return "manually learned";
    case MLV_STATE_DISCARDED:
      return "discarded";
    default:
      return "?";
  }
}

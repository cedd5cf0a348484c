#include "gate/gate_judge.h"

#include <algorithm>

#include "tools/sample_push.h"

namespace gate {

namespace {

using Clock = std::chrono::steady_clock;
// After a service failed, requests pass without asking it for this long.
constexpr std::chrono::seconds kDownFor{1};
// URLs remembered as missing, and for how long.
constexpr size_t kMissingMax = 10000;
constexpr std::chrono::seconds kMissingFor{1};
constexpr uint32_t kMaxAge = 60;  // seconds a cached argument is trusted without a notice

struct timeval to_timeval(uint32_t ms) {
  return {static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
}

}  // namespace

Judge::Judge(Gate *gate) : gate_(gate) { gate_->metrics().judges.fetch_add(1, kRelaxed); }

Judge::~Judge() {
  close();
  gate_->metrics().judges.fetch_sub(1, kRelaxed);
}

void Judge::close() {
  ids_.clear();
  missing_.clear();
  if (ids_conn_) redisFree(ids_conn_);
  ids_conn_ = nullptr;
  mlv_close(ctx_);
  ctx_ = nullptr;
  publish_cache();
}

void Judge::publish_cache() {
  mlv_cache_stats st = {};
  mlv_stats(ctx_, &st);
  const auto entries = static_cast<int64_t>(st.arguments), bytes = static_cast<int64_t>(st.bytes);
  Metrics &m = gate_->metrics();
  m.cache_entries.fetch_add(entries - cache_entries_, kRelaxed);
  m.cache_bytes.fetch_add(bytes - cache_bytes_, kRelaxed);
  cache_entries_ = entries;
  cache_bytes_ = bytes;
}

// Opens what is missing; a new configuration starts afresh (Redis may have
// moved, the cache's bound changed). False while the services are down.
bool Judge::ready(const Config &cfg) {
  if (generation_ != gate_->generation()) {
    close();
    generation_ = gate_->generation();
  }
  if (!ctx_) {
    mlv_options o;
    mlv_options_init(&o);
    o.redis_host = cfg.redis_host.c_str();
    o.redis_port = cfg.redis_port;
    o.cache_limit_mib = static_cast<int32_t>(cfg.cache_mib);
    o.timeout_ms = cfg.timeout_ms;
    // Notices drop what changes as the daemon learns; what changes without
    // one (a Redis restored or refilled by a replica) is read again within a
    // minute rather than the library's five.
    o.max_age_seconds = kMaxAge;
    ctx_ = mlv_open(&o);
  }
  if (ctx_ && !ids_conn_) {
    ids_conn_ =
        redisConnectWithTimeout(cfg.redis_host.c_str(), cfg.redis_port, to_timeval(cfg.timeout_ms));
    if (ids_conn_ && (ids_conn_->err || redisSetTimeout(ids_conn_, to_timeval(cfg.timeout_ms)))) {
      redisFree(ids_conn_);
      ids_conn_ = nullptr;
    }
  }
  return ctx_ && ids_conn_;
}

void Judge::fail_open(const std::string &what, Decision *d) {
  d->verdict = kError;
  d->reason = what;
  gate_->metrics().service_errors.fetch_add(1, kRelaxed);
  gate_->complain(what + "; requests pass unjudged");
  down_until_ = Clock::now() + kDownFor;
  // A hiredis context that failed is not used again.
  ids_.clear();
  if (ids_conn_) redisFree(ids_conn_);
  ids_conn_ = nullptr;
}

// 1 found, 0 not known, -1 Redis failed.
int Judge::url_id(uint32_t domain, const traffic::Request &req, uint32_t *url) {
  const std::string key = std::to_string(domain) + " " + req.host + " " + req.path;
  const auto now = Clock::now();
  if (auto it = missing_.find(key); it != missing_.end()) {
    if (now < it->second) return 0;
    missing_.erase(it);
  }
  auto &slot = ids_[domain];
  if (!slot) slot = std::make_unique<traffic::IdStore>(ids_conn_, domain);
  const int rc = slot->url_id(req.host, req.path, false, url);
  if (rc == 0) {
    if (missing_.size() >= kMissingMax) missing_.clear();
    missing_.emplace(key, now + kMissingFor);
  }
  return rc < 0 ? -1 : rc;
}

void Judge::learn(const Site &site, const traffic::Request &req, uint32_t url, uint32_t arg,
                  const traffic::Argument &a) {
  if (learned_ >= kLearnMax) return;
  learned_++;
  Observation o;
  o.domain = site.domain_id;
  o.url = url;
  o.arg = arg;
  if (!url) {
    o.host = req.host;
    o.path = req.path;
  }
  o.name = a.name;
  o.value.assign(a.value, 0, std::min(a.value.size(), mlpush::kCarryMax));
  o.real_len = static_cast<uint32_t>(std::min<size_t>(a.value.size(), UINT32_MAX));
  gate_->learner().offer(std::move(o));
}

void Judge::judge_args(const Site &site, const traffic::Request &req, uint32_t url, Decision *d) {
  learned_ = 0;
  const auto values = std::count_if(req.args.begin(), req.args.end(),
                                    [](const traffic::Argument &a) { return !a.value.empty(); });
  if (static_cast<size_t>(values) > kJudgeMax) {  // neither judged nor learned
    d->verdict = kMalformed;
    d->reason = "more than " + std::to_string(kJudgeMax) + " values";
    return;
  }
  int worst = req.args.empty() ? traffic::kNoArguments : traffic::kNormal;
  for (const traffic::Argument &a : req.args) {
    if (a.value.empty()) continue;  // the daemon never learns one
    mlv_result r = {};
    int v = traffic::kNotLearned;
    if (!url) {
      learn(site, req, 0, 0, a);
    } else {
      const int rv = mlv_judge_by_name(ctx_, site.domain_id, url, a.name.data(), a.name.size(),
                                       a.value.data(), a.value.size(), 0, &r);
      if (rv == MLV_ERROR) return fail_open(std::string("verdict: ") + r.reason, d);
      if (rv == MLV_NOT_LEARNED && (r.state == MLV_STATE_COLLECTING || r.state == MLV_STATE_NONE))
        learn(site, req, url, r.arg_id, a);
      v = traffic::request_verdict_of(rv);
    }
    if (v > worst) {
      worst = v;
      d->argument = a.name;
      d->has_score = r.has_score != 0;
      d->score = r.score;
    }
  }
  d->verdict = worst;
}

// The action of the site's mode: block acts at the operating point; detect
// logs what block would deny; learn passes everything.
void Judge::finish(const Config &cfg, Decision *d) {
  int mlv = MLV_NORMAL;
  if (d->verdict < traffic::kKinds)
    mlv = traffic::request_verdict_mlv(d->verdict);
  else if (d->verdict == kMalformed)
    mlv = MLV_DEFINITE;  // what cannot be read whole is not let through in block mode
  const int action = mlv_action_of(mlv, cfg.point);
  if (d->mode == Mode::block)
    d->action = action;
  else if (d->mode == Mode::detect)
    d->action = action == MLV_BLOCK ? MLV_LOG : action;
  else
    d->action = MLV_PASS;
}

void Judge::judge_site(const Config &cfg, const Site &site, const traffic::Request &req,
                       Decision *d) {
  if (Clock::now() < down_until_) {  // failed lately: pass without asking again
    d->verdict = kError;
    d->reason = "a service failed less than a second ago";
    return;
  }
  if (!ready(cfg))
    return fail_open(
        "Redis at " + cfg.redis_host + ":" + std::to_string(cfg.redis_port) + " does not answer",
        d);
  uint32_t url = 0;
  const int known = url_id(site.domain_id, req, &url);
  if (known < 0) return fail_open("Redis failed looking up a URL id", d);
  judge_args(site, req, known ? url : 0, d);
}

Decision Judge::decide(const Incoming &in) {
  const auto t0 = Clock::now();
  const std::shared_ptr<const Config> cfg = gate_->config();
  Decision d;
  traffic::Request req;
  const Site *site = cfg->site(in.host);
  if (site) d.mode = site->mode;
  const std::string_view body = in.body_cut ? std::string_view() : in.body;
  if (traffic::decode_request(in.method, in.target, in.host, in.content_type, body,
                              traffic::Limits{}, &req, &d.reason) != 0) {
    d.verdict = kMalformed;
  } else if (!(site = cfg->site(req.host))) {
    d.verdict = kUnmapped;
  } else {
    d.mode = site->mode;
    judge_site(*cfg, *site, req, &d);
  }
  finish(*cfg, &d);
  publish_cache();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count();
  gate_->metrics().count(d.mode, d.verdict, d.action, static_cast<uint64_t>(ns));
  return d;
}

JudgePool::Lease JudgePool::borrow() {
  std::unique_lock<std::mutex> lock(mu_);
  freed_.wait(lock, [this] { return !idle_.empty() || made_ < size_; });
  if (idle_.empty()) {
    ++made_;
    return Lease(this, std::make_unique<Judge>(gate_));
  }
  std::unique_ptr<Judge> judge = std::move(idle_.back());
  idle_.pop_back();
  return Lease(this, std::move(judge));
}

void JudgePool::give_back(std::unique_ptr<Judge> judge) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    idle_.push_back(std::move(judge));
  }
  freed_.notify_one();
}

}  // namespace gate

#include "gate/gate_learn.h"

#include <chrono>
#include <cstdarg>

#include "gate/gate.h"
#include "tools/sample_push.h"

namespace gate {

namespace {

// Values that end the thread's wait for a batch early; the tick bounds how
// long a value waits in the queue when traffic is light.
constexpr size_t kWakeAt = 1000;
constexpr std::chrono::milliseconds kTick{20};
constexpr time_t kStateEvery = 5;         // seconds between refreshes of the learning state
constexpr long long kStateMax = 1 << 17;  // arguments of one domain read for the state

struct ReplyFree {
  void operator()(redisReply *r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

Reply command(redisContext *c, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  void *r = redisvCommand(c, fmt, ap);
  va_end(ap);
  return Reply(static_cast<redisReply *>(r));
}

size_t weight(const Observation &o) {
  return sizeof o + o.host.size() + o.path.size() + o.name.size() + o.value.size();
}

}  // namespace

Learner::Learner(Gate *gate) : gate_(gate) {}

Learner::~Learner() {
  stop();
  drop_connection();
}

void Learner::start() { thread_ = std::thread(&Learner::run, this); }

void Learner::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool Learner::offer(Observation &&o) {
  const size_t w = weight(o);
  std::lock_guard<std::mutex> lock(mu_);
  if (queue_bytes_ + w > kQueueBytes || stopping_) {
    gate_->metrics().samples_skipped_queue.fetch_add(1, kRelaxed);
    return false;
  }
  queue_.push_back(std::move(o));
  queue_bytes_ += w;
  gate_->metrics().queue_bytes.store(static_cast<int64_t>(queue_bytes_), kRelaxed);
  if (queue_.size() == 1 || queue_.size() == kWakeAt) wake_.notify_one();
  return true;
}

void Learner::run() {
  for (bool last = false; !last;) {
    std::vector<Observation> batch;
    {
      std::unique_lock<std::mutex> lock(mu_);
      // Idle, the thread wakes only to refresh the learning state; once a
      // value arrives it waits a tick for others to share its round trips.
      wake_.wait_for(lock, std::chrono::seconds(kStateEvery),
                     [this] { return stopping_ || !queue_.empty(); });
      wake_.wait_for(lock, kTick, [this] { return stopping_ || queue_.size() >= kWakeAt; });
      last = stopping_;
      batch.swap(queue_);
      if (queue_.capacity() > kWakeAt) queue_ = {};  // a flood's buffer is not kept
      queue_bytes_ = 0;
      gate_->metrics().queue_bytes.store(0, kRelaxed);
    }
    const std::shared_ptr<const Config> cfg = gate_->config();
    if (!connect(*cfg)) {
      gate_->metrics().samples_lost.fetch_add(batch.size(), kRelaxed);
      continue;
    }
    if (!batch.empty()) learn(*cfg, &batch);
    if (c_ && time(nullptr) >= state_at_) refresh_state(*cfg);
  }
}

// (Re)connects when needed, at most once a second after a failure; a new
// configuration starts from a new connection, as Redis may have moved.
bool Learner::connect(const Config &cfg) {
  if (generation_ != gate_->generation()) drop_connection();
  if (c_) return true;
  const time_t now = time(nullptr);
  if (now < retry_at_) return false;
  c_ = redisConnectWithTimeout(cfg.redis_host.c_str(), cfg.redis_port, {1, 0});
  if (!c_ || c_->err || redisSetTimeout(c_, {2, 0}) != REDIS_OK) {
    retry_at_ = now + 1;
    gate_->complain("learning: Redis at " + cfg.redis_host + ":" + std::to_string(cfg.redis_port) +
                    " does not answer" + (c_ ? std::string(": ") + c_->errstr : std::string()));
    drop_connection();
    return false;
  }
  generation_ = gate_->generation();
  prepare(cfg);
  return c_ != nullptr;
}

void Learner::drop_connection() {
  ids_.clear();  // the id stores hold the connection
  if (c_) redisFree(c_);
  c_ = nullptr;
}

// Writes each domain's settings, as the proxy's configuration does, so that
// the daemon finds its policy and learning database.
void Learner::prepare(const Config &cfg) {
  for (const Site &s : cfg.sites) {
    traffic::DomainSettings d;
    d.id = s.domain_id;
    if (!s.policy.empty()) d.policy = s.policy;
    if (!s.db.empty()) d.dbname = s.db;
    d.name = s.host;
    std::string err;
    const int rc = traffic::ensure_domain(c_, d, s.host, &err);
    if (rc == 1) gate_->complain("domain " + s.host + ": " + err);
    if (rc == 2) {
      gate_->complain("learning: " + err);
      drop_connection();
      return;
    }
  }
}

traffic::IdStore &Learner::ids(const Config &cfg, uint32_t domain) {
  auto &slot = ids_[domain];
  if (!slot) {
    slot = std::make_unique<traffic::IdStore>(c_, domain);
    slot->set_caps(cfg.max_new_args_per_url, cfg.max_new_args_per_domain);
  }
  return *slot;
}

// 1 ids known, 0 refused by a cap, -1 Redis failed.
int Learner::resolve(const Config &cfg, Observation *o, time_t now) {
  traffic::IdStore &ids = this->ids(cfg, o->domain);
  int rc = 1;
  // The judging thread found no id for the name: under a cap reached, none
  // will be given, and a flood of made-up names costs no round trip.
  if (o->url && !o->arg && ids.capped(o->url)) rc = -3;
  if (rc == 1 && !o->url) rc = ids.url_id(o->host, o->path, true, &o->url);
  if (rc == 1 && !o->arg) rc = ids.arg_id(o->url, o->name, true, &o->arg);
  if (rc == -3) {
    gate_->metrics().names_refused.fetch_add(1, kRelaxed);
    return 0;
  }
  if (rc != 1) return rc == -1 ? -1 : 0;
  return ids.ensure_arg(o->url, o->arg, o->name, now) < 0 ? -1 : 1;
}

bool Learner::backlog_full(const Config &cfg) {
  Reply r = command(c_, "LLEN %b", cfg.sample_list.data(), cfg.sample_list.size());
  if (!r || r->type != REDIS_REPLY_INTEGER) return false;  // the push will say what failed
  {
    std::lock_guard<std::mutex> lock(gate_->metrics().state_mu);
    gate_->metrics().sample_list = r->integer;
  }
  return r->integer > static_cast<long long>(cfg.sample_backlog);
}

void Learner::learn(const Config &cfg, std::vector<Observation> *obs) {
  Metrics &m = gate_->metrics();
  if (backlog_full(cfg)) {
    m.samples_skipped_backlog.fetch_add(obs->size(), kRelaxed);
    return;
  }
  const time_t now = time(nullptr);
  std::vector<std::string> msgs;
  msgs.reserve(obs->size());
  for (size_t i = 0; i < obs->size(); i++) {
    Observation &o = (*obs)[i];
    const int rc = resolve(cfg, &o, now);
    if (rc < 0) {
      gate_->complain("learning: Redis failed while giving ids");
      m.samples_lost.fetch_add(obs->size() - i, kRelaxed);
      drop_connection();
      return;
    }
    if (rc == 1) msgs.push_back(mlpush::pack_sample(o.domain, o.url, o.arg, o.value, o.real_len));
  }
  std::string err;
  if (mlpush::push(c_, cfg.sample_list, msgs, 1, &err) != 0) {
    gate_->complain("learning: pushing samples failed: " + err);
    m.samples_lost.fetch_add(msgs.size(), kRelaxed);
    drop_connection();
    return;
  }
  m.samples_pushed.fetch_add(msgs.size(), kRelaxed);
}

// Counts each configured domain's arguments by state, from the ids given
// out (mlfeed:args:<d>) and a pipelined read of each argument's state.
void Learner::refresh_state(const Config &cfg) {
  state_at_ = time(nullptr) + kStateEvery;
  std::map<uint32_t, std::array<uint64_t, 6>> states;
  for (const Site &s : cfg.sites) {
    auto &counts = states[s.domain_id];
    counts.fill(0);
    const std::string key = traffic::args_key(s.domain_id);
    Reply len = command(c_, "HLEN %b", key.data(), key.size());
    if (!len || len->type != REDIS_REPLY_INTEGER || len->integer > kStateMax) continue;
    Reply ids = command(c_, "HVALS %b", key.data(), key.size());
    if (!ids || ids->type != REDIS_REPLY_ARRAY) continue;
    for (size_t i = 0; i < ids->elements; i++)
      redisAppendCommand(c_, "HGET arg:%u:%b arg_learn_stat", s.domain_id, ids->element[i]->str,
                         ids->element[i]->len);
    for (size_t i = 0; i < ids->elements; i++) {
      void *raw = nullptr;
      if (redisGetReply(c_, &raw) != REDIS_OK) return drop_connection();
      Reply r(static_cast<redisReply *>(raw));
      const int st = r->type == REDIS_REPLY_STRING ? atoi(r->str) : 0;
      counts[st >= 0 && st < 6 ? st : 0]++;
    }
  }
  std::lock_guard<std::mutex> lock(gate_->metrics().state_mu);
  gate_->metrics().arg_states.swap(states);
}

}  // namespace gate

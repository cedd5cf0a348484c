// One judging thread's view of live requests: decodes a request as the proxy
// hands it over, judges every non-empty value of its arguments with a
// verdict context of the thread's own, hands the values of collecting
// arguments to the learning thread, and decides what the site's mode does
// with the gravest verdict.
//
// The request path waits for nothing but the verdict library and one Redis
// lookup of a URL id not yet cached, each bounded by the configuration's
// time-out. When a service fails, the request passes (fail-open) and so do
// the requests of the next second without asking again, counted as errors.
//
// Thread safety: a Judge is used by one thread at a time; the doors lend
// them from a JudgePool each.
#pragma once

#include <hiredis/hiredis.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gate/gate.h"
#include "traffic/id_store.h"
#include "traffic/request_parse.h"
#include "verdict/verdict.h"

namespace gate {

// Bounds on what one request may cost: values judged, and values handed to
// learning. Beyond them the rest is left unjudged (judged_all false), which
// block mode treats as malformed.
constexpr size_t kJudgeMax = 1000;
constexpr size_t kLearnMax = 64;
// Bytes of a body judged; a longer one is not decoded.
constexpr size_t kGateBodyMax = 1 << 20;

struct Decision {
  int verdict = traffic::kNoArguments;  // traffic::RequestVerdict or GateVerdict
  int action = MLV_PASS;                // mlv_action; detect and learn never block
  Mode mode = Mode::detect;
  std::string argument;  // the argument that gave the verdict (decoded; escape to print)
  bool has_score = false;
  double score = 0;
  std::string reason;  // for malformed and error verdicts
};

// The fields of a request that a door hands over.
struct Incoming {
  std::string_view method, target, host, content_type, body;
  bool body_cut = false;  // the door saw only part of the body
};

class Judge {
 public:
  explicit Judge(Gate *gate);
  ~Judge();
  Judge(const Judge &) = delete;
  Judge &operator=(const Judge &) = delete;

  Decision decide(const Incoming &in);

 private:
  bool ready(const Config &cfg);
  void close();
  void fail_open(const std::string &what, Decision *d);
  void judge_site(const Config &cfg, const Site &site, const traffic::Request &req, Decision *d);
  int url_id(uint32_t domain, const traffic::Request &req, uint32_t *url);
  void judge_args(const Site &site, const traffic::Request &req, uint32_t url, Decision *d);
  void learn(const Site &site, const traffic::Request &req, uint32_t url, uint32_t arg,
             const traffic::Argument &a);
  void finish(const Config &cfg, Decision *d);
  void publish_cache();

  Gate *gate_;
  uint64_t generation_ = 0;
  mlv_ctx *ctx_ = nullptr;
  redisContext *ids_conn_ = nullptr;
  std::unordered_map<uint32_t, std::unique_ptr<traffic::IdStore>> ids_;
  // URLs not found lately, so a path sent again does not ask Redis each time.
  std::unordered_map<std::string, std::chrono::steady_clock::time_point> missing_;
  std::chrono::steady_clock::time_point down_until_{};
  int64_t cache_entries_ = 0, cache_bytes_ = 0;  // what this thread last added to the metrics
  size_t learned_ = 0;                           // values handed over in this request
};

// Judges that a door's threads share. Each Judge holds a verdict cache of up
// to cache_mib, so one per SPOE connection would let the proxy's number of
// connections set mlgate's memory (HAProxy opens a hundred under load), and
// every new connection would start with a cold cache. A thread borrows a
// Judge for one request; at most `size` judge at once, the others wait.
// Judges go back warm, and the last one returned is lent first.
class JudgePool {
 public:
  JudgePool(Gate *gate, unsigned size) : gate_(gate), size_(size ? size : 1) {}
  JudgePool(const JudgePool &) = delete;
  JudgePool &operator=(const JudgePool &) = delete;

  class Lease {
   public:
    Lease(JudgePool *pool, std::unique_ptr<Judge> judge) : pool_(pool), judge_(std::move(judge)) {}
    ~Lease() { pool_->give_back(std::move(judge_)); }
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;
    Judge &operator*() const { return *judge_; }
    Judge *operator->() const { return judge_.get(); }

   private:
    JudgePool *pool_;
    std::unique_ptr<Judge> judge_;
  };

  // Waits until a Judge is free; the decisions it takes are bounded by the
  // configuration's time-outs, so the wait is too.
  Lease borrow();

 private:
  void give_back(std::unique_ptr<Judge> judge);

  Gate *gate_;
  const unsigned size_;
  std::mutex mu_;
  std::condition_variable freed_;
  std::vector<std::unique_ptr<Judge>> idle_;  // guarded by mu_
  unsigned made_ = 0;                         // guarded by mu_
};

}  // namespace gate

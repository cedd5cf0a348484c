// The gateway's learning, off the request path: judging threads hand over
// the values of collecting arguments, and one thread gives new names their
// ids (traffic::IdStore, under the configuration's caps), makes the argument
// hashes the daemon expects, and pushes the sample messages onto the
// daemon's list in pipelined batches.
//
// Nothing here makes a request wait. The hand-over queue is bounded in
// bytes; beyond it values are skipped and counted. Before a batch is pushed
// the list's length is read, and while it holds more than the configured
// backlog the batch is skipped and counted too: a daemon that cannot keep up
// is not buried, and the gateway's memory does not grow.
//
// The same thread refreshes the learning state shown at /metrics.
#pragma once

#include <hiredis/hiredis.h>

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "gate/gate_config.h"
#include "gate/gate_metrics.h"
#include "traffic/id_store.h"

namespace gate {

class Gate;

// One value to learn. url and arg are 0 when not known yet: the learning
// thread then asks for (or makes) their ids from host, path and name.
struct Observation {
  uint32_t domain = 0, url = 0, arg = 0;
  std::string host, path, name;
  std::string value;  // at most mlpush::kCarryMax bytes carried
  uint32_t real_len = 0;
};

// Bytes the hand-over queue may hold: about a second of what the learning
// thread gives ids to when every value is a new name.
constexpr size_t kQueueBytes = 4 << 20;

class Learner {
 public:
  explicit Learner(Gate *gate);
  ~Learner();
  Learner(const Learner &) = delete;
  Learner &operator=(const Learner &) = delete;

  void start();
  void stop();
  // Queues o; false when the queue is full (the value is skipped, counted).
  bool offer(Observation &&o);

 private:
  struct Batch;
  void run();
  bool connect(const Config &cfg);
  void drop_connection();
  void prepare(const Config &cfg);
  void learn(const Config &cfg, std::vector<Observation> *obs);
  int resolve(const Config &cfg, Observation *o, time_t now);
  bool backlog_full(const Config &cfg);
  void refresh_state(const Config &cfg);
  traffic::IdStore &ids(const Config &cfg, uint32_t domain);

  Gate *gate_;
  std::mutex mu_;
  std::condition_variable wake_;
  std::vector<Observation> queue_;  // guarded by mu_
  size_t queue_bytes_ = 0;          // guarded by mu_
  bool stopping_ = false;           // guarded by mu_
  std::thread thread_;

  // The learning thread's own.
  redisContext *c_ = nullptr;
  uint64_t generation_ = 0;
  std::unordered_map<uint32_t, std::unique_ptr<traffic::IdStore>> ids_;
  time_t state_at_ = 0, retry_at_ = 0;
};

}  // namespace gate

// What mlgate's threads share: the configuration in use (replaced whole on
// SIGHUP, so a request sees one file from start to end), the counters, and
// the learning thread. The front doors (HTTP for nginx, the SPOE agent for
// HAProxy) each serve requests through a Judge of their thread's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "gate/gate_config.h"
#include "gate/gate_learn.h"
#include "gate/gate_metrics.h"

namespace gate {

class Gate {
 public:
  explicit Gate(Config config);

  std::shared_ptr<const Config> config() const { return config_.load(); }
  // Changes with every replacement; judging threads compare it to notice one.
  uint64_t generation() const { return generation_.load(std::memory_order_acquire); }
  void replace(Config config);

  Metrics &metrics() { return metrics_; }
  Learner &learner() { return learner_; }

  // Writes "mlgate: <what>" to stderr unless a line went out in the last
  // second: a service that is down is said once a second, not per request.
  void complain(const std::string &what);

 private:
  std::atomic<std::shared_ptr<const Config>> config_;
  std::atomic<uint64_t> generation_{1};
  std::atomic<int64_t> complained_at_{0};
  Metrics metrics_;
  Learner learner_;
};

}  // namespace gate

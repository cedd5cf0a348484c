#include "gate/gate.h"

#include <chrono>
#include <cstdio>

namespace gate {

Gate::Gate(Config config)
    : config_(std::make_shared<const Config>(std::move(config))), learner_(this) {}

void Gate::replace(Config config) {
  config_.store(std::make_shared<const Config>(std::move(config)));
  generation_.fetch_add(1, std::memory_order_acq_rel);
}

void Gate::complain(const std::string &what) {
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t last = complained_at_.load(std::memory_order_relaxed);
  if (now <= last || !complained_at_.compare_exchange_strong(last, now)) return;
  fprintf(stderr, "mlgate: %s\n", what.c_str());
}

}  // namespace gate

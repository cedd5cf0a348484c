// What mlgate counts, shared by its threads and served at /metrics in the
// Prometheus text format. Counters are atomics that the request path bumps
// without a lock; the learning state (arguments per state per domain, the
// length of the sample list) is refreshed by the learning thread every few
// seconds under a mutex, as it comes from Redis and not from requests.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "gate/gate_config.h"
#include "traffic/request_verdict.h"

namespace gate {

// A request's verdict at the gate: traffic's request verdicts, then what
// only the gate meets.
enum GateVerdict {
  kError = traffic::kKinds,  // a service failed: the request passed (fail-open)
  kMalformed,                // the request could not be decoded
  kUnmapped,                 // a host no domain of the configuration has
  kGateVerdicts
};

const char *gate_verdict_name(int v);

// Counters need no ordering between them.
constexpr std::memory_order kRelaxed = std::memory_order_relaxed;
// Bytes of an argument's name a door shows in its answer (escaped).
constexpr size_t kArgumentShown = 100;

// Upper bounds of the judge latency histogram, in microseconds.
constexpr std::array<double, 12> kLatencyBoundsUs = {2,   5,    10,   25,    50,     100,
                                                     250, 1000, 5000, 25000, 100000, 1000000};

struct Metrics {
  std::atomic<uint64_t> requests[3][kGateVerdicts][3] = {};  // [mode][verdict][action]
  std::atomic<uint64_t> latency[kLatencyBoundsUs.size() + 1] = {};
  std::atomic<uint64_t> latency_ns = 0;
  std::atomic<uint64_t> samples_pushed = 0;
  std::atomic<uint64_t> samples_skipped_backlog = 0;  // the sample list held more than the backlog
  std::atomic<uint64_t> samples_skipped_queue = 0;    // the learning queue was full
  std::atomic<uint64_t> samples_lost = 0;             // Redis failed while they were pushed
  std::atomic<uint64_t> names_refused = 0;            // a cap on new names refused an id
  std::atomic<uint64_t> service_errors = 0;
  std::atomic<int64_t> judges = 0;         // Judges in being, each a verdict context
  std::atomic<int64_t> cache_entries = 0;  // summed over the judging threads
  std::atomic<int64_t> cache_bytes = 0;
  std::atomic<int64_t> queue_bytes = 0;

  std::mutex state_mu;                                     // guards what follows
  std::map<uint32_t, std::array<uint64_t, 6>> arg_states;  // domain -> arguments per MLV_STATE_*
  int64_t sample_list = -1;                                // LLEN of the sample list; -1 unknown

  void count(Mode mode, int verdict, int action, uint64_t ns);
};

// The whole text served at /metrics.
std::string metrics_text(Metrics &m);

}  // namespace gate

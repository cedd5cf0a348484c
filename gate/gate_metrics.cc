#include "gate/gate_metrics.h"

#include <cstdarg>
#include <cstdio>

#include "verdict/verdict.h"

namespace gate {

namespace {

void line(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void line(std::string *out, const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0) out->append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

void counter(std::string *out, const char *name, const char *help, uint64_t v) {
  line(out, "# HELP %s %s\n# TYPE %s counter\n%s %llu\n", name, help, name, name,
       static_cast<unsigned long long>(v));
}

void gauge(std::string *out, const char *name, const char *help, int64_t v) {
  line(out, "# HELP %s %s\n# TYPE %s gauge\n%s %lld\n", name, help, name, name,
       static_cast<long long>(v));
}

void requests_text(Metrics &m, std::string *out) {
  line(out, "# HELP mlgate_requests_total Requests answered, by mode, verdict and action.\n");
  line(out, "# TYPE mlgate_requests_total counter\n");
  for (int mode = 0; mode < 3; mode++)
    for (int v = 0; v < kGateVerdicts; v++)
      for (int a = 0; a < 3; a++) {
        const uint64_t n = m.requests[mode][v][a].load(kRelaxed);
        if (n)
          line(out, "mlgate_requests_total{mode=\"%s\",verdict=\"%s\",action=\"%s\"} %llu\n",
               mode_name(static_cast<Mode>(mode)), gate_verdict_name(v), mlv_action_name(a),
               static_cast<unsigned long long>(n));
      }
}

void latency_text(Metrics &m, std::string *out) {
  line(out, "# HELP mlgate_judge_seconds Time to decode and judge one request.\n");
  line(out, "# TYPE mlgate_judge_seconds histogram\n");
  uint64_t total = 0;
  for (size_t i = 0; i < kLatencyBoundsUs.size(); i++) {
    total += m.latency[i].load(kRelaxed);
    line(out, "mlgate_judge_seconds_bucket{le=\"%g\"} %llu\n", kLatencyBoundsUs[i] / 1e6,
         static_cast<unsigned long long>(total));
  }
  total += m.latency[kLatencyBoundsUs.size()].load(kRelaxed);
  line(out, "mlgate_judge_seconds_bucket{le=\"+Inf\"} %llu\n",
       static_cast<unsigned long long>(total));
  line(out, "mlgate_judge_seconds_sum %.9f\nmlgate_judge_seconds_count %llu\n",
       static_cast<double>(m.latency_ns.load(kRelaxed)) / 1e9,
       static_cast<unsigned long long>(total));
}

void learning_text(Metrics &m, std::string *out) {
  std::lock_guard<std::mutex> lock(m.state_mu);
  line(out, "# HELP mlgate_arguments Arguments of each domain by learning state.\n");
  line(out, "# TYPE mlgate_arguments gauge\n");
  for (const auto &[domain, states] : m.arg_states)
    for (int s = 0; s < 6; s++)
      line(out, "mlgate_arguments{domain=\"%u\",state=\"%s\"} %llu\n", domain, mlv_state_name(s),
           static_cast<unsigned long long>(states[s]));
  gauge(out, "mlgate_sample_list_length", "Samples waiting in the daemon's list (-1: unknown).",
        m.sample_list);
}

}  // namespace

const char *gate_verdict_name(int v) {
  if (v >= 0 && v < traffic::kKinds) return traffic::request_verdict_name(v);
  static const char *const names[] = {"error", "malformed", "unmapped"};
  return v >= kError && v < kGateVerdicts ? names[v - kError] : "?";
}

void Metrics::count(Mode mode, int verdict, int action, uint64_t ns) {
  requests[static_cast<int>(mode)][verdict][action].fetch_add(1, kRelaxed);
  size_t b = 0;
  while (b < kLatencyBoundsUs.size() && static_cast<double>(ns) > kLatencyBoundsUs[b] * 1e3) b++;
  latency[b].fetch_add(1, kRelaxed);
  latency_ns.fetch_add(ns, kRelaxed);
}

std::string metrics_text(Metrics &m) {
  std::string out;
  requests_text(m, &out);
  latency_text(m, &out);
  counter(&out, "mlgate_samples_pushed_total", "Samples pushed onto the daemon's list.",
          m.samples_pushed.load(kRelaxed));
  line(&out, "# HELP mlgate_samples_skipped_total Samples not pushed, by reason.\n");
  line(&out, "# TYPE mlgate_samples_skipped_total counter\n");
  line(&out, "mlgate_samples_skipped_total{reason=\"backlog\"} %llu\n",
       static_cast<unsigned long long>(m.samples_skipped_backlog.load(kRelaxed)));
  line(&out, "mlgate_samples_skipped_total{reason=\"queue\"} %llu\n",
       static_cast<unsigned long long>(m.samples_skipped_queue.load(kRelaxed)));
  line(&out, "mlgate_samples_skipped_total{reason=\"redis\"} %llu\n",
       static_cast<unsigned long long>(m.samples_lost.load(kRelaxed)));
  counter(&out, "mlgate_names_refused_total", "New names refused an id by a cap.",
          m.names_refused.load(kRelaxed));
  counter(&out, "mlgate_service_errors_total",
          "Redis or learning database failures (the request passed).",
          m.service_errors.load(kRelaxed));
  gauge(&out, "mlgate_judges", "Verdict contexts in use by the doors.", m.judges.load(kRelaxed));
  gauge(&out, "mlgate_cache_entries", "Arguments held by the verdict caches.",
        m.cache_entries.load(kRelaxed));
  gauge(&out, "mlgate_cache_bytes", "Heap bytes of the verdict caches.",
        m.cache_bytes.load(kRelaxed));
  gauge(&out, "mlgate_learning_queue_bytes", "Bytes of samples waiting to be pushed.",
        m.queue_bytes.load(kRelaxed));
  learning_text(m, &out);
  return out;
}

}  // namespace gate

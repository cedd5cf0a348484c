// The judgement of one value against a learned argument made from the input:
// learned values (with counts), fences and the value judged. Every derived
// rule, the fences and the nearest-pattern search run on it. The verdict is
// one of the three for a learned argument, the same with and without the
// nearest patterns, normal for a learned pattern; the nearest patterns are
// learned ones, at their true edit distance, nearest first.
//
// Input: byte 0 state count, bytes 1 and 2 the fences, then lines: each
// learned line is a count byte and the value; the last line is the value.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "verdict/verdict_cache.h"

namespace {

std::string pattern_of(std::string_view v) {
  int32_t syms[MLV_MAX_VALUE_LEN];
  int32_t n = static_cast<int32_t>(sizeof syms);
  if (ml_hmm_generalize_str(reinterpret_cast<const unsigned char *>(v.data()),
                            static_cast<uint32_t>(v.size()), syms, &n) != 0)
    abort();
  std::string p;
  for (int32_t i = 0; i < n; i++) p.push_back(static_cast<char>('0' + syms[i]));
  return p;
}

int full_distance(std::string_view a, std::string_view b) {
  std::vector<int> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) row[j] = static_cast<int>(j);
  for (size_t i = 1; i <= a.size(); i++) {
    int diag = row[0];
    row[0] = static_cast<int>(i);
    for (size_t j = 1; j <= b.size(); j++) {
      const int up = row[j];
      row[j] = std::min({up + 1, row[j - 1] + 1, diag + (a[i - 1] != b[j - 1])});
      diag = up;
    }
  }
  return row[b.size()];
}

void check_result(const mlv::arg_entry &e, const mlv_result &r, int v, size_t len) {
  if (v != MLV_NORMAL && v != MLV_POTENTIAL && v != MLV_DEFINITE) abort();
  if (r.verdict != v || !memchr(r.reason, '\0', sizeof r.reason)) abort();
  if (len == 0) return;
  if (r.pattern_len < 0 || static_cast<size_t>(r.pattern_len) > len ||
      strlen(r.pattern) != static_cast<size_t>(r.pattern_len))
    abort();
  if (r.learned_pattern != (e.patterns.count(std::string_view(r.pattern)) > 0)) abort();
  if (r.learned_pattern && v != MLV_NORMAL) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3 || size > 2048) return 0;
  const int states = 1 + data[0] % 10;
  std::vector<std::string_view> lines;
  std::string_view rest(reinterpret_cast<const char *>(data + 3), size - 3);
  for (size_t at; (at = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(at + 1))
    lines.push_back(rest.substr(0, at));
  const std::string_view value = rest;
  if (value.size() > MLV_MAX_VALUE_LEN || lines.size() > 64) return 0;

  // One model per state count, made once; the entry borrows it.
  static ml_hmm_model *models[11] = {};
  if (!models[states]) models[states] = ml_hmm_create(states, ML_HMM_SYMBOLS, 42);
  if (!models[states]) return 0;
  mlv::arg_entry e;
  struct lend {
    mlv::arg_entry &e;
    ~lend() { (void)e.model.release(); }
  } lent{e};
  e.state = MLV_STATE_LEARNED;
  e.model.reset(models[states]);
  e.has_fences = true;
  e.q4 = -0.5 - (data[1] % 64) / 4.0;
  e.q5 = e.q4 - (data[2] % 64) / 4.0;
  e.fence_source = "fuzz";
  for (std::string_view line : lines) {
    if (line.empty() || line.size() > MLV_MAX_VALUE_LEN + 1) continue;
    const int32_t count = 1 + static_cast<uint8_t>(line[0]) % 200;
    auto [it, added] = e.patterns.try_emplace(pattern_of(line.substr(1)));
    it->second.count = added ? count : it->second.count + count;
    // Lines of one pattern are its values: the sketch the daemon would keep.
    it->second.value_bits |= ml_hmm_value_bit(reinterpret_cast<const unsigned char *>(line.data()),
                                              static_cast<uint32_t>(line.size()));
  }
  mlv::derive_rules(&e);

  mlv_result plain = {}, near = {};
  const int v = mlv::judge_value(e, value.data(), value.size(), 0, &plain);
  check_result(e, plain, v, value.size());
  const int w = mlv::judge_value(e, value.data(), value.size(), MLV_EXPLAIN_NEAREST, &near);
  check_result(e, near, w, value.size());
  if (v != w || strcmp(plain.reason, near.reason) != 0) abort();
  if (value.empty()) return 0;

  const size_t want = std::min<size_t>(MLV_NEAREST, e.patterns.size());
  if (static_cast<size_t>(near.nearest_count) != want) abort();
  for (int i = 0; i < near.nearest_count; i++) {
    const mlv_near &n = near.nearest[i];
    auto it = e.patterns.find(std::string_view(n.pattern));
    if (it == e.patterns.end() || it->second.count != n.count) abort();
    if (n.distance != full_distance(near.pattern, n.pattern)) abort();
    if (i > 0 && n.distance < near.nearest[i - 1].distance) abort();
  }
  // Nothing left out is nearer than the last one found.
  if (want == MLV_NEAREST)
    for (const auto &kv : e.patterns) {
      const std::string &text = kv.first;
      if (full_distance(near.pattern, text) < near.nearest[MLV_NEAREST - 1].distance &&
          std::none_of(near.nearest, near.nearest + MLV_NEAREST,
                       [&](const mlv_near &n) { return text == n.pattern; }))
        abort();
    }
  return 0;
}

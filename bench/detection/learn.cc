#include "bench/detection/learn.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "bench/detection/bench_text.h"

namespace detection {

double score_of(const ml_hmm_model *m, const std::string &v) {
  double p = ML_HMM_NO_PROB, second = 0.0;
  ml_hmm_calc_prob(m, v.data(), static_cast<uint32_t>(v.size()), &p, &second);
  return p;
}

ml_hmm_model *train_like_daemon(const std::vector<std::string> &samples, int *patterns,
                                mlv::text_map<mlv::learned_pattern> *learned,
                                mlv::text_map<mlv::learned_pattern> *noise) {
  struct Item {
    std::string first;  // the value the sample table keeps for the pattern
    int32_t count = 0;
    uint64_t bits = 0;
  };
  std::map<std::string, Item> by_pattern;
  for (const std::string &v : samples) {
    Item &it = by_pattern[pattern_of(v)];
    if (it.count++ == 0) it.first = v;
    it.bits |= ml_hmm_value_bit(reinterpret_cast<const unsigned char *>(v.data()),
                                static_cast<uint32_t>(v.size()));
  }
  ml_sample_list list{};
  list.items = static_cast<ml_sample_item *>(calloc(by_pattern.size(), sizeof(ml_sample_item)));
  for (const auto &[pat, e] : by_pattern) {
    ml_sample_item &it = list.items[list.count++];
    it.sample_str = static_cast<char *>(calloc(e.first.size() + 1, 1));
    std::memcpy(it.sample_str, e.first.data(), e.first.size());
    it.sample_len = it.sample_len_copy = static_cast<uint32_t>(e.first.size());
    it.pattern = static_cast<char *>(calloc(e.first.size() + 1, 1));
    it.pattern_count = e.count;
  }
  *patterns = list.count;
  ml_hmm_model *m = nullptr;
  if (ml_train_hmm_model(&m, &list, kStates) != 0) {
    ml_free_sample_items(&list);
    return nullptr;
  }
  int32_t i = 0;
  for (const auto &[pat, e] : by_pattern)
    if (list.items[i++].noise_flag == 0)
      (*learned)[pat] = {e.count, e.bits};
    else if (noise)
      (*noise)[pat] = {e.count, e.bits};
  ml_free_sample_items(&list);
  return m;
}

std::unique_ptr<mlv::arg_entry> learn_like_daemon(const std::vector<std::string> &samples) {
  auto e = std::make_unique<mlv::arg_entry>();
  int patterns = 0;
  ml_hmm_model *m = train_like_daemon(samples, &patterns, &e->patterns, &e->noise);
  if (!m) return nullptr;
  e->model.reset(m);
  const size_t n = std::min<size_t>(samples.size(), kBoxplotSamples);
  std::vector<double> scores;
  for (size_t i = samples.size() - n; i < samples.size(); ++i)
    scores.push_back(score_of(m, samples[i]));
  ml_boxplot box{};
  ml_calc_boxplot(scores.data(), static_cast<int>(scores.size()), &box);
  e->has_fences = true;
  e->q4 = box.q4;
  e->q5 = box.q5;
  e->fence_source = "boxplot";
  e->state = MLV_STATE_LEARNED;
  mlv::derive_rules(e.get());
  return e;
}

}  // namespace detection

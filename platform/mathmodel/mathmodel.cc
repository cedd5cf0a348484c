// Training of an argument's model from its sample list.
//
// Each item is one distinct pattern of the argument, weighted by how often it
// was seen. The trainer regenerates every item's symbol sequence from its
// value (the stored pattern text is only a copy of it), trains a discrete HMM
// by weighted Baum-Welch from a fixed seeded start, so that the same samples
// always give the same model, and scores every item by its per-symbol
// log-likelihood. Items that score far below the rest (under the weighted
// Q1 - 3 max(IQR, 0.5)) are flagged as noise and the model is trained again
// without them, so a few junk values seen during learning do not widen what
// the model accepts; an item with 1% of the values or more is never junk. The spread floor of 0.5
// matters: most arguments have one dominant pattern and an IQR of 0, and without it every minority
// pattern would count as noise. The statistics the daemon stores (mean and variance of the scores)
// come from the final model over the non-noise items.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/mathmodel/mathmodel.h"
#include "platform/mathmodel/mathmodel_internal.h"

namespace {

constexpr uint64_t kSeed = 0x6d6c5f686d6d3130ull;

double item_weight(const ml_sample_item &it) {
  return it.pattern_count > 0 ? static_cast<double>(it.pattern_count) : 1.0;
}

// Makes the item's sequence and pattern text. false on allocation failure.
bool build_sequence(ml_sample_item &it) {
  free(it.sequence);
  it.sequence = nullptr;
  it.sequence_len = 0;
  if (!it.sample_str || it.sample_len == 0) return true;
  auto *seq = static_cast<int32_t *>(malloc(sizeof(int32_t) * it.sample_len));
  if (!seq) return false;
  const auto *bytes = reinterpret_cast<const unsigned char *>(it.sample_str);
  const int64_t n = mathmodel::generalize(bytes, it.sample_len, seq, it.sample_len);
  it.sequence = seq;
  it.sequence_len = static_cast<int32_t>(n);
  if (it.pattern) {
    // The buffer holds sample_len + 1 bytes; never more symbols than bytes.
    const int64_t keep = n < it.sample_len ? n : it.sample_len;
    for (int64_t t = 0; t < keep; ++t) it.pattern[t] = static_cast<char>('0' + seq[t]);
    it.pattern[keep] = '\0';
  }
  return true;
}

struct Selection {
  std::vector<const int32_t *> seqs;
  std::vector<int64_t> lens;
  std::vector<double> weights;
  std::vector<int> item;  // index into the list
};

Selection select_items(const ml_sample_list &list, bool skip_noise) {
  Selection s;
  for (int i = 0; i < list.count; ++i) {
    const ml_sample_item &it = list.items[i];
    if (it.sequence_len <= 0 || (skip_noise && it.noise_flag == 1)) continue;
    s.seqs.push_back(it.sequence);
    s.lens.push_back(it.sequence_len);
    s.weights.push_back(item_weight(it));
    s.item.push_back(i);
  }
  return s;
}

// A model trained from the seeded start over the selection, or null.
ml_hmm_model *train(const Selection &s, int n_states, double *loglik) {
  ml_hmm_model *m = ml_hmm_create(n_states, ML_HMM_SYMBOLS, kSeed);
  if (!m) return nullptr;
  const ml_hmm_bw_opts o = ml_hmm_bw_defaults();
  double trace[128];
  int it = 0;
  if (ml_hmm_baum_welch(m, s.seqs.data(), s.lens.data(), s.weights.data(),
                        static_cast<int>(s.seqs.size()), &o, trace, 128, &it) != 0) {
    ml_hmm_free(m);
    return nullptr;
  }
  *loglik = it > 0 ? trace[it - 1] : 0.0;
  return m;
}

double score(const ml_hmm_model *m, const ml_sample_item &it) {
  double p = ML_HMM_NO_PROB;
  ml_hmm_calc_prob_by_seq(m, it.sequence, it.sequence_len, &p);
  return p;
}

// An item carrying at least this share of all values is never noise: a shape
// one value in a hundred has ("XL" among lower-case search words) is part of
// the argument, and dropping it made every later such value score below q5.
constexpr double kNoiseMaxShare = 0.01;

// Flags the items scoring below the weighted Q1 - 3 max(IQR, 0.5), unless
// they carry kNoiseMaxShare of the values; returns how many were flagged.
int flag_noise(ml_sample_list &list, const Selection &s, const ml_hmm_model *m, double *threshold) {
  std::vector<mathmodel::Weighted> v;
  std::vector<double> scores(s.item.size());
  for (size_t k = 0; k < s.item.size(); ++k) {
    scores[k] = score(m, list.items[s.item[k]]);
    v.push_back({scores[k], s.weights[k]});
  }
  const double q1 = mathmodel::weighted_quantile(v, 0.25);
  const double q3 = mathmodel::weighted_quantile(v, 0.75);
  *threshold = q1 - 3.0 * mathmodel::fence_spread(q3 - q1);
  int flagged = 0;
  double total = 0.0;
  for (double w : s.weights) total += w;
  for (size_t k = 0; k < s.item.size(); ++k)
    if (scores[k] < *threshold && s.weights[k] < kNoiseMaxShare * total) {
      list.items[s.item[k]].noise_flag = 1;
      ++flagged;
    }
  return flagged;
}

// average_probability of every item, the weighted mean and variance of the
// non-noise scores.
void fill_statistics(ml_sample_list &list, ml_hmm_model *m) {
  double w_sum = 0.0, mean = 0.0, m2 = 0.0;
  for (int i = 0; i < list.count; ++i) {
    ml_sample_item &it = list.items[i];
    const double p = score(m, it);
    it.average_probability = std::exp(p);
    if (it.noise_flag == 1 || it.sequence_len <= 0) continue;
    // West's weighted update: stable for many items of close scores.
    const double w = item_weight(it);
    w_sum += w;
    const double delta = p - mean;
    mean += delta * w / w_sum;
    m2 += w * delta * (p - mean);
  }
  m->weight_total = w_sum;
  m->prob_mean_ex = w_sum > 0.0 ? mean : 0.0;
  m->variance_ex = w_sum > 0.0 ? m2 / w_sum : 0.0;
}

}  // namespace

int ml_train_hmm_model(ml_hmm_model **model, ml_sample_list *list, int n_states) {
  if (!model || !list || list->count < 1 || !list->items || n_states < 1 ||
      n_states > ML_HMM_MAX_STATES)
    return -1;
  for (int i = 0; i < list->count; ++i) {
    ml_sample_item &it = list->items[i];
    it.noise_flag = 0;
    it.average_probability = 0.0;
    if (!build_sequence(it)) return -1;
    if (it.sequence_len <= 0) it.noise_flag = 1;  // nothing to learn from or score
  }
  Selection all = select_items(*list, false);
  if (all.seqs.empty()) return -1;
  double ll = 0.0;
  ml_hmm_model *m = train(all, n_states, &ll);
  if (!m) return -1;
  double threshold = 0.0;
  const int noise = flag_noise(*list, all, m, &threshold);
  if (noise > 0) {
    Selection kept = select_items(*list, true);
    ml_hmm_free(m);
    m = kept.seqs.empty() ? nullptr : train(kept, n_states, &ll);
    if (!m) return -1;
  }
  m->noise_count = noise;
  m->noise_threshold = threshold;
  m->train_loglik = ll;
  m->mean_length = 0.0;
  m->mean_prob = 0.0;
  fill_statistics(*list, m);
  *model = m;
  return 0;
}

void ml_free_sample_items(ml_sample_list *list) {
  if (!list) return;
  for (int i = 0; list->items && i < list->count; ++i) {
    ml_sample_item &it = list->items[i];
    free(it.pattern);
    free(it.sample_str);
    free(it.sequence);
  }
  free(list->items);
  list->items = nullptr;
  list->count = 0;
}

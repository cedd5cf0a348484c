#include "model/model_stats.h"

#include <cstdlib>

#include "model/training_samples.h"

void mm_calc_mean(const ml_sample_list *list, ml_hmm_model *model) {
  if (!list || !model) return;
  int probs = 0, lengths = 0;
  for (int i = 0; i < list->count; i++) {
    const ml_sample_item &it = list->items[i];
    if (it.noise_flag == 1) continue;
    if (it.pattern_probability != 0.0 && it.pattern_probability != ML_HMM_NO_PROB) {
      model->mean_prob += it.pattern_probability;
      probs++;
    }
    if (it.sample_len != 0) {
      model->mean_length += static_cast<double>(it.sample_len);
      lengths++;
    }
  }
  model->mean_prob = probs > 1 ? model->mean_prob / probs : 0.0;
  model->mean_length = lengths > 1 ? model->mean_length / lengths : 0.0;
}

int mm_calc_all_boxplot(ml_db_obj *db, const ml_hmm_model *model, const char *mysql_dbname,
                        uint32_t arg_id, ml_boxplot **out, int *count) {
  if (!db || !model || !out || !count || !mysql_dbname || !*mysql_dbname) return -1;
  ml_sample_list tmp{};
  const int read = mm_get_tmp_sample(db, mysql_dbname, arg_id, &tmp);
  if (read == 1) {
    *count = 0;
    return 0;
  }
  int result = -1;
  double *probs = nullptr;
  ml_boxplot *boxes = nullptr;
  const int groups = tmp.count / BOXPLOT_GROUP;
  if (read == 0) {
    for (int i = 0; i < tmp.count; i++) {
      double p = 0.0, second = 0.0;
      ml_sample_item &it = tmp.items[i];
      if (ml_hmm_calc_prob(model, it.sample_str, it.sample_len, &p, &second) == 0)
        it.pattern_probability = p;
    }
    probs = static_cast<double *>(malloc(sizeof(double) * static_cast<size_t>(tmp.count)));
    boxes = static_cast<ml_boxplot *>(
        calloc(static_cast<size_t>(groups ? groups : 1), sizeof(ml_boxplot)));
    if (probs && boxes) {
      for (int i = 0; i < tmp.count; i++) probs[i] = tmp.items[i].pattern_probability;
      result = 0;
      for (int g = 0; g < groups && result == 0; g++)
        if (ml_calc_boxplot(probs + BOXPLOT_GROUP * g, BOXPLOT_GROUP, &boxes[g]) != 0) result = -1;
    }
  }
  free(probs);
  ml_free_sample_items(&tmp);
  if (result != 0) {
    free(boxes);
    *out = nullptr;
    *count = 0;
    return -1;
  }
  *out = boxes;
  *count = groups;
  return 0;
}

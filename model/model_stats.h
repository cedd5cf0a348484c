// Model statistics: the means stored with a model, and the boxplots of the
// argument's recent samples that give the proxy its fences.
#pragma once

#include <cstdint>

#include "platform/mathmodel/mathmodel.h"

struct ml_db_obj;

// Scores in one boxplot group; the newest samples form the first group.
constexpr int BOXPLOT_GROUP = 500;

// Sets the model's mean_prob and mean_length over the list's items (each
// counted once; noise items, and for the probability 0.0 and -2000.0, left
// out). A mean over fewer than two items is 0.0. Nothing happens for a null
// list or model.
void mm_calc_mean(const ml_sample_list *list, ml_hmm_model *model);

// One boxplot per whole group of BOXPLOT_GROUP temporary samples, scored
// with the model. 0 with *out (system allocator, the caller frees it) and
// *count set; 0 with *count 0 and *out untouched when the argument has no
// temporary sample; -1 (*out null, *count 0) when the reading or a boxplot
// failed. -1 with both untouched for a missing argument or an empty name.
int mm_calc_all_boxplot(ml_db_obj *db, const ml_hmm_model *model, const char *mysql_dbname,
                        uint32_t arg_id, ml_boxplot **out, int *count);

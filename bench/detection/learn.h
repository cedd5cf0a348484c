// Learning as the daemon learns, for the detection benchmarks, which judge
// with the verdict library but without the daemon, Redis or the learning
// database. An argument's samples, in the order they arrive (a request sent
// twice is two samples), are grouped by pattern into weighted items (the first
// value seen with a pattern stands for it, the pattern's count is its
// samples), trained with kStates states, and the items the trainer flags as
// noise left out of the learned patterns. Each learned pattern keeps its count
// and the sketch of its distinct values (ml_hmm_value_bit OR-ed), so that a
// value sent again raises the count and leaves the sketch as it was, as the
// sample tables do. The fences come from the boxplot of the scores of the
// newest kBoxplotSamples samples.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/mathmodel/mathmodel.h"
#include "verdict/verdict_cache.h"

namespace detection {

constexpr int kStates = 10;
constexpr int kBoxplotSamples = 500;

// The model's score of a value.
double score_of(const ml_hmm_model *m, const std::string &v);

// Trains on the samples; *patterns is the number of distinct patterns and
// *learned gets the patterns not flagged as noise, each with its count and
// value sketch (*noise, when given, the others). Null (and *learned untouched) when the trainer
// refuses them.
ml_hmm_model *train_like_daemon(const std::vector<std::string> &samples, int *patterns,
                                mlv::text_map<mlv::learned_pattern> *learned,
                                mlv::text_map<mlv::learned_pattern> *noise = nullptr);

// The argument as mlv_judge_* loads it once learned: model, learned patterns,
// boxplot fences and the rules derived from them. Null when the trainer
// refuses the samples.
std::unique_ptr<mlv::arg_entry> learn_like_daemon(const std::vector<std::string> &samples);

}  // namespace detection

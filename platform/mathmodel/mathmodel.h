// Math model library: turns argument values into symbol patterns, trains a
// discrete hidden Markov model over an argument's patterns and scores values
// against it, and derives boxplot fences from recent scores.
//
// The records below are exchanged with the daemon, which allocates the sample
// list and its strings with the system allocator; everything the library hangs
// from a record is allocated the same way, so either side may release it with
// the paired free function. Their layouts are fixed (little-endian, natural
// alignment) and checked at compile time at the end of this header.
//
// Thread safety: no function keeps global state; a model may be scored from
// several threads at once, but a sample list or model under training belongs to
// one thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Alphabet of the generalisation: symbols 0 .. ML_HMM_SYMBOLS-1, all below 44,
// so that the pattern byte '0' + k never reaches the backslash.
#define ML_HMM_SYMBOLS 39
// Score given to an empty sequence or one the model cannot produce.
#define ML_HMM_NO_PROB (-2000.0)
// Largest state count the library accepts.
#define ML_HMM_MAX_STATES 32

// One training or scoring sample. The reader owns the strings and the pattern
// buffer it allocated, the trainer allocates `sequence`; ml_free_sample_items
// releases all three. The lib_* bytes are the library's and stay zero.
typedef struct ml_sample_item {
  int32_t id;
  int32_t lib_reserved0;
  char *pattern;  // sample_len + 1 bytes, or NULL (temporary samples)
  uint8_t is_manual;
  uint8_t lib_reserved1[7];
  char *sample_str;
  uint32_t sample_len;
  uint32_t sample_len_copy;
  int32_t pattern_count;  // training weight
  int32_t lib_reserved2;
  double pattern_probability;  // per-symbol log-likelihood, set by the daemon
  int32_t *sequence;
  int32_t sequence_len;
  int32_t lib_reserved3;
  double average_probability;  // exp(per-symbol log-likelihood)
  int32_t lib_reserved4;
  int32_t noise_flag;
  uint8_t lib_reserved5[8];
} ml_sample_item;

// The caller's list of samples; `items` is an array of `count` items.
typedef struct ml_sample_list {
  uint32_t reserved0;
  int32_t count;
  uint64_t reserved1;
  ml_sample_item *items;
} ml_sample_list;

// A discrete HMM. The matrices are 1-based: transition[i][j] and emission[i][k]
// for i, j in 1..N and k in 1..M (symbol s is column s + 1), initial[i] for i
// in 1..N; index 0 is unused. All of it lives in one allocation owned by the
// record, released only by ml_hmm_free.
typedef struct ml_hmm_model {
  int32_t state_count;
  int32_t symbol_count;
  double **transition;
  double **emission;
  double *initial;
  int32_t iterations;      // Baum-Welch iterations of the final training
  int32_t noise_count;     // items flagged as noise
  double train_loglik;     // weighted log-likelihood of the training data
  double noise_threshold;  // score below which an item counted as noise
  double mean_length;      // the daemon's, 0.0 from the trainer
  double mean_prob;        // the daemon's, 0.0 from the trainer
  double weight_total;     // sum of the weights of the non-noise items
  double prob_mean_ex;     // weighted mean score of the non-noise items
  double variance_ex;      // weighted variance of those scores
} ml_hmm_model;

// Quartiles and lower fences of a group of scores. q4 and q5 are the lower
// inner and outer fences: below q4 a value is a potential anomaly, below q5 a
// definite one (see ml_boxplot_classify).
typedef struct ml_boxplot {
  double q2;  // median
  double q1;
  double q3;
  double q4;  // q1 - 1.5 * max(IQR, 0.5)
  double q5;  // q1 - 3 * max(IQR, 0.5)
  double iqr;
  double spread;  // max(IQR, 0.5)
  double mean;
  double notch_bottom;
  double notch_top;
  double sample_min;
  double sample_max;
  int32_t sample_count;
  int32_t lib_reserved;
  int32_t potential_anomaly_cnt;  // scores in [q5, q4)
  int32_t definite_anomaly_cnt;   // scores below q5
} ml_boxplot;

// Baum-Welch settings; ml_hmm_bw_defaults gives the trainer's own.
typedef struct ml_hmm_bw_opts {
  int32_t max_iter;  // iterations at most (E-steps evaluated)
  double rel_tol;    // stop when (ll - ll_prev) / |ll_prev| falls below this
  double floor;      // every probability at least this after each update; 0 = off
} ml_hmm_bw_opts;

// ---- Calls the daemon makes ----

// Generalises `len` bytes of `value` into at most `len` symbols below 44. On
// input *inout_count is the capacity of `symbols` in bytes; on success returns
// 0 and sets it to the number of symbols written. Returns -1 (count unchanged)
// on a null pointer, a negative capacity or output that does not fit. An empty
// value gives 0 symbols.
int ml_hmm_generalize_str(const unsigned char *value, uint32_t len, int32_t *symbols,
                          int32_t *inout_count);

// Distinct values of a pattern, kept in 64 bits: each value sets the one bit
// its bytes hash to, and a pattern's sketch is the OR of its values' bits, so
// a value sent again (a retry, a form sent as GET and as POST, a crawler)
// changes nothing. The bit of a value; the same on every machine.
uint64_t ml_hmm_value_bit(const unsigned char *value, uint32_t len);

// The distinct values a pattern seen `count` times had, from its sketch: the
// linear-counting estimate, at least the bits set and at most count; 1 for
// one bit; count itself for a sketch of 0 (a pattern stored without one).
// Near 64 bits set the estimate says little more than "many".
int64_t ml_hmm_distinct_values(int32_t count, uint64_t bits);

// Trains a model with n_states states over the list (weights: pattern_count)
// and fills each item's pattern text, sequence, average_probability and
// noise_flag, and the model's prob_mean_ex and variance_ex. Returns 0 and
// stores a new model in *model, or -1 with *model untouched when nothing is
// trainable or an argument is invalid. Item sequences already made stay in the
// list either way; ml_free_sample_items releases them.
int ml_train_hmm_model(ml_hmm_model **model, ml_sample_list *list, int n_states);

// Per-symbol log-likelihood ln P(seq | m) / len into *prob. Returns 0, with
// ML_HMM_NO_PROB for an empty sequence or a zero probability; -1 (prob set to
// ML_HMM_NO_PROB when not null) on a null pointer or a symbol outside the model.
int ml_hmm_calc_prob_by_seq(const ml_hmm_model *m, const int32_t *seq, int64_t len, double *prob);

// Generalises str and scores it as ml_hmm_calc_prob_by_seq does; *second (may
// be null) receives ln P itself, or ML_HMM_NO_PROB. Returns 0 or -1.
int ml_hmm_calc_prob(const ml_hmm_model *m, const char *str, uint32_t len, double *prob,
                     double *second);

// Boxplot of n scores. NaN counts as ML_HMM_NO_PROB and every score is clamped
// to [ML_HMM_NO_PROB, 0]. Returns 0, or -1 (out untouched) for null pointers
// or n < 1.
int ml_calc_boxplot(const double *probs, int n, ml_boxplot *out);

// Releases a model and everything it owns; null is ignored.
void ml_hmm_free(ml_hmm_model *m);

// Frees every item's pattern, sample_str and sequence and the item array, then
// sets items to null and count to 0; null is ignored.
void ml_free_sample_items(ml_sample_list *list);

// ---- Building blocks, for scoring code, tests and benchmarks ----

// 0 for a normal score, 1 for a potential anomaly (below q4), 2 for a definite
// one (below q5). NaN counts as ML_HMM_NO_PROB.
int ml_boxplot_classify(const ml_boxplot *b, double score);

// The trainer's Baum-Welch settings (100 iterations, 1e-4, floor 1e-6).
ml_hmm_bw_opts ml_hmm_bw_defaults(void);

// A new model in the trainer's seeded start: uniform random values plus 0.01,
// normalised per row. Null on invalid sizes or allocation failure.
ml_hmm_model *ml_hmm_create(int n_states, int n_symbols, uint64_t seed);

// Refines m in place by weighted Baum-Welch over n sequences (weights may be
// null: all 1). trace, when not null, receives up to trace_cap log-likelihoods,
// one per iteration, of the model before that iteration's update; *iterations
// (may be null) the number evaluated. Returns 0, or -1 with m unchanged on
// invalid input (a symbol outside the model, a negative length or weight).
int ml_hmm_baum_welch(ml_hmm_model *m, const int32_t *const *seqs, const int64_t *lens,
                      const double *weights, int n, const ml_hmm_bw_opts *opts, double *trace,
                      int trace_cap, int *iterations);

// ln P(seq | m) into *ll: -INFINITY when the model cannot produce seq, 0.0 for
// an empty one. Returns 0, or -1 on a null pointer or a symbol outside the model.
int ml_hmm_loglik(const ml_hmm_model *m, const int32_t *seq, int64_t len, double *ll);

#ifdef __cplusplus
}  // extern "C"

static_assert(sizeof(ml_sample_item) == 96);
static_assert(offsetof(ml_sample_item, id) == 0);
static_assert(offsetof(ml_sample_item, pattern) == 8);
static_assert(offsetof(ml_sample_item, is_manual) == 16);
static_assert(offsetof(ml_sample_item, sample_str) == 24);
static_assert(offsetof(ml_sample_item, sample_len) == 32);
static_assert(offsetof(ml_sample_item, sample_len_copy) == 36);
static_assert(offsetof(ml_sample_item, pattern_count) == 40);
static_assert(offsetof(ml_sample_item, pattern_probability) == 48);
static_assert(offsetof(ml_sample_item, sequence) == 56);
static_assert(offsetof(ml_sample_item, sequence_len) == 64);
static_assert(offsetof(ml_sample_item, average_probability) == 72);
static_assert(offsetof(ml_sample_item, noise_flag) == 84);
static_assert(sizeof(ml_sample_list) == 24);
static_assert(offsetof(ml_sample_list, count) == 4);
static_assert(offsetof(ml_sample_list, items) == 16);
static_assert(sizeof(ml_hmm_model) == 96);
static_assert(offsetof(ml_hmm_model, symbol_count) == 4);
static_assert(offsetof(ml_hmm_model, transition) == 8);
static_assert(offsetof(ml_hmm_model, emission) == 16);
static_assert(offsetof(ml_hmm_model, initial) == 24);
static_assert(offsetof(ml_hmm_model, mean_length) == 56);
static_assert(offsetof(ml_hmm_model, mean_prob) == 64);
static_assert(offsetof(ml_hmm_model, prob_mean_ex) == 80);
static_assert(offsetof(ml_hmm_model, variance_ex) == 88);
static_assert(sizeof(ml_boxplot) == 112);
static_assert(offsetof(ml_boxplot, q1) == 8);
static_assert(offsetof(ml_boxplot, q3) == 16);
static_assert(offsetof(ml_boxplot, q4) == 24);
static_assert(offsetof(ml_boxplot, q5) == 32);
static_assert(offsetof(ml_boxplot, notch_bottom) == 64);
static_assert(offsetof(ml_boxplot, notch_top) == 72);
static_assert(offsetof(ml_boxplot, sample_min) == 80);
static_assert(offsetof(ml_boxplot, sample_max) == 88);
static_assert(offsetof(ml_boxplot, potential_anomaly_cnt) == 104);
static_assert(offsetof(ml_boxplot, definite_anomaly_cnt) == 108);
#endif

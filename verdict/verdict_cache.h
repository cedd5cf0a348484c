// Internal records of the verdict library: what one context caches about a
// domain and an argument, and the loaders that fill them from Redis and the
// learning database. Not installed; verdict/*.cc, its tests and the detection
// benchmarks (which judge without Redis through judge_value) include it.
//
// Everything here belongs to one context and is touched by the thread that
// uses that context only, so nothing is locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/mathmodel/mathmodel.h"
#include "verdict/verdict.h"

struct redis_conn;
struct ml_db_obj;

namespace mlv {

// What the daemon writes, and so the most a loader accepts: models of 10
// states (its ML_HMM_STATES; a test holds the two equal) over an alphabet
// below 44 symbols, at most 2,000 learned patterns an argument (room left
// for manual samples).
constexpr size_t kModelStatesMax = 10;
constexpr size_t kModelSymbolsMax = 44;
constexpr size_t kPatternsMax = 4096;

// Hash and equality that accept std::string_view, so lookups by a name or a
// pattern held in a stack buffer build no std::string.
struct text_hash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
struct text_eq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};
template <class V>
using text_map = std::unordered_map<std::string, V, text_hash, text_eq>;

struct model_free {
  void operator()(ml_hmm_model *m) const { ml_hmm_free(m); }
};
using model_ptr = std::unique_ptr<ml_hmm_model, model_free>;

// What the learned patterns say about an argument beyond its model, derived
// once when it is loaded (derive_rules). The model scores a pattern as a
// whole and forgives one odd symbol in a long value; these catch what real
// tampering looks like: a symbol no learned value ever had, a value far
// longer than any learned one, a new shape where the values never varied.
struct arg_rules {
  bool derived = false;        // false: only the learned patterns and the fences decide
  uint64_t symbols = 0;        // bit k: symbol k occurs in some learned pattern
  int32_t max_len = 0;         // longest learned pattern, in symbols
  int64_t total = 0;           // the learned patterns' samples less the copies of one request
  int64_t singles = 0;         // learned patterns of one value, sent once (copies aside)
  bool closed = false;         // the learned patterns are all the shapes it takes
  double new_share = 1.0;      // chance that the next value has a new pattern (Good-Turing)
  bool symbols_known = false;  // enough values to call a symbol never seen foreign
  // Neighbours: bit b of pairs[a] when symbol b follows symbol a in some
  // learned pattern; kEdge stands for the start (as a) and the end (as b).
  static constexpr int kEdge = 44;
  uint64_t pairs[kEdge + 1] = {};
  bool pairs_known = false;  // enough values to call a pair never seen foreign
};

// A learned pattern: the samples that showed it, and the sketch of their
// distinct values (ml_hmm_value_bit OR-ed; 0 when the row has none: stored
// before the sketch, or a manual sample). The rules count values, not
// samples, so that traffic sent twice is evidence once.
struct learned_pattern {
  int32_t count = 1;
  uint64_t value_bits = 0;
};

// One argument as last loaded. The model and the fences are present only for
// the learned states; `patterns` maps each learned pattern to its count.
struct arg_entry {
  uint32_t domain_id = 0;
  uint32_t arg_id = 0;
  uint32_t url_id = 0;
  int32_t state = 0;  // MLV_STATE_*
  std::string name;
  model_ptr model;
  bool has_fences = false;
  double q4 = 0.0;
  double q5 = 0.0;
  const char *fence_source = "";  // "boxplot" or "learned patterns"
  text_map<learned_pattern> patterns;
  // Patterns the trainer set aside as noise: seen while learning, so nothing
  // in them is new to the rules, but not trusted as normal.
  text_map<learned_pattern> noise;
  arg_rules rules;
  // The learned patterns with runs folded (skeleton), each with the longest
  // learned run, in symbols, at every place of the skeleton.
  text_map<std::string> skeletons;
  // The learned patterns, most frequent first (views of the keys of
  // `patterns`), so that a nearest-pattern search meets near ones early.
  std::vector<std::pair<std::string_view, int32_t>> by_count;
  std::string problem;     // why a learned argument cannot be judged; "" when it can
  int64_t loaded_at = 0;   // coarse monotonic seconds
  uint64_t last_used = 0;  // the context's judgement count at its last use
  size_t bytes = 0;        // heap bytes held, approximate
};

// A domain's names and its arguments grouped by URL, from one scan.
struct domain_entry {
  bool known = false;  // domain_info:<d> exists
  std::string name;    // its `domain` field, matched against notices
  std::string dbname;  // its learning database
  bool scanned = false;
  int64_t scanned_at = 0;  // coarse monotonic seconds
  // url id -> argument name -> argument id
  std::unordered_map<uint32_t, text_map<uint32_t>> urls;
  int64_t loaded_at = 0;
};

// Result of a loader: 0 done, -1 a service failed (message in err).
using load_err = std::string;

// Reads domain_info:<d>. Returns 0 (entry filled; known false when the hash
// is missing) or -1 when Redis did not answer.
int load_domain(redis_conn *redis, uint32_t domain_id, domain_entry *out, load_err *err);

// Rebuilds the URL index of a domain by scanning arg:<d>:* (64-bit cursor).
// 0, or -1 when Redis failed (the old index is kept).
int scan_domain(redis_conn *redis, uint32_t domain_id, domain_entry *d, load_err *err);

// Loads one argument: hash fields, and for a learned state the model, the
// fences and the learned patterns. 0 (also for a missing hash: state 0), or
// -1 when Redis or the database failed.
int load_arg(redis_conn *redis, ml_db_obj *db, const domain_entry &d, uint32_t domain_id,
             uint32_t arg_id, arg_entry *out, load_err *err);

// The argument id of a key "arg:<domain_id>:<arg_id>", decimal digits only.
// False for any other key (another domain's, arg:<d>:<a>:..., a NUL inside).
bool parse_arg_key(std::string_view key, uint32_t domain_id, uint32_t *arg_id);

// Parses "{"column":C,"data":[...]}" into its entries, each a probability as
// the daemon prints it, at most kModelStatesMax x kModelSymbolsMax of them.
// False on any other text.
bool parse_model_text(std::string_view text, int *column, std::vector<double> *data);

// Builds a model from the three texts of an argument hash. Null when they do
// not describe one consistent model.
ml_hmm_model *model_from_texts(std::string_view pi, std::string_view a, std::string_view b);

// q4 and q5 of one boxplot text. False when either is missing.
bool parse_fences(std::string_view text, double *q4, double *q5);

// Writes the skeleton of pattern into out (room for pattern.size() bytes):
// each run of digit or long-run symbols folded into one, so that "222_22"
// and "22_2" share "2_2". Returns its length. With runs, runs[i] gets the
// number of symbols folded into out[i].
size_t skeleton(std::string_view pattern, char *out, char *runs = nullptr);

// Derives e->rules and e->skeletons from e->patterns; call after the
// patterns are complete.
void derive_rules(arg_entry *e);

// Judges a value of a learned argument that has a model and fences: the
// pattern, the learned patterns, the derived rules, then the fences. Fills
// *out (pattern, score, fences, reason, nearest when flags ask) and returns
// the verdict; MLV_ERROR only when the value cannot be generalised.
int judge_value(const arg_entry &e, const char *value, size_t len, int flags, mlv_result *out);

// Levenshtein distance between a and b (each at most 256 bytes), or a number
// above limit as soon as the distance is known to exceed it.
int edit_distance(std::string_view a, std::string_view b, int limit);

// An argument notice as read: the names it carries, each marked whole or
// cut (a cut text still names a prefix of its last key).
struct notice {
  std::string domain_name;
  bool domain_whole = false;
  bool has_url = false;
  std::string url;  // urlid as sent
  bool url_whole = false;
  int64_t url_number = -1;  // urlid as a number, -1 when it is not one
  bool has_name = false;
  std::string arg_name;  // bytes as sent, NUL bytes included
  bool name_whole = false;
};

// Reads a notice text, whole or cut at the daemon's buffer. False when it
// names no domain (not a notice, or cut before its domain name).
bool decode_notice(std::string_view text, notice *out);

// Whether the notice may name the domain ("" when its name is not known).
bool notice_names_domain(const notice &n, std::string_view domain_name);

// Whether the notice may name the argument (domain name "" when not known):
// a cut name or URL matches every name or URL it begins.
bool notice_names(const notice &n, std::string_view domain_name, uint32_t url_id,
                  std::string_view arg_name);

// Coarse monotonic clock in seconds (cheap enough for every judgement).
int64_t now_seconds();

// Sets out's verdict and its reason (formatted, cut to the reason's field)
// and returns the verdict.
int set_verdict(mlv_result *out, int verdict, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace mlv

// Verdict library: judges one argument value the way the proxy would, from
// what the daemon learned, and explains the judgement.
//
// For an argument it loads, from Redis and the domain's learning database, the
// model texts of the argument hash, the newest boxplot group of
// arg:boxplot:<d>:<a>, the learned patterns (sample table rows with noise flag
// 0) and the names of the other arguments of the same URL, and keeps them in a
// cache of its own. A second Redis connection subscribes to the argument
// notifications (ml_arg_event) and to the configuration channel (channel1,
// for relearn requests, which the proxy is not told about); every judge call
// first drains the notices that have arrived, without blocking, and drops the
// cached arguments they name, so a stale model is never used after its notice.
//
// Ownership: a context owns both connections, its database object and the
// whole cache; mlv_close releases all of it. Results are plain records filled
// in the caller's memory; nothing in them points into the context.
//
// Thread safety: a context is not thread-safe. Give each thread its own
// context (they share nothing); different contexts may be used at once.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Verdicts, in the order of their gravity for the first three.
typedef enum mlv_verdict {
  MLV_NORMAL = 0,
  MLV_POTENTIAL = 1,         // score below q4
  MLV_DEFINITE = 2,          // score below q5, or a value longer than MLV_MAX_VALUE_LEN
  MLV_UNKNOWN_ARGUMENT = 3,  // a name the URL never had while its arguments are learned
  MLV_NOT_LEARNED = 4,       // collecting, building, discarded, or nothing known yet
  MLV_ERROR = -1             // Redis or the learning database failed
} mlv_verdict;

// Learning states of an argument, as the argument hash stores them.
enum {
  MLV_STATE_NONE = 0,  // no hash, or no state in it
  MLV_STATE_COLLECTING = 1,
  MLV_STATE_BUILDING = 2,
  MLV_STATE_LEARNED = 3,
  MLV_STATE_MANUALLY_LEARNED = 4,
  MLV_STATE_DISCARDED = 5
};

// A value longer than this (in bytes) is never learned by the daemon; it is
// judged definite without scoring.
#define MLV_MAX_VALUE_LEN 256
// Names longer than this (in bytes) are never indexed nor matched: no
// proxy's argument name is, and the daemon's notices could not carry one.
#define MLV_MAX_NAME_LEN 1024
// Room for a pattern text: one character per symbol and a terminating zero.
#define MLV_PATTERN_CAP (MLV_MAX_VALUE_LEN + 1)
// Learned patterns reported as nearest to the value's pattern.
#define MLV_NEAREST 3

// Flags of the judge calls.
#define MLV_EXPLAIN_NEAREST 0x1  // also find the MLV_NEAREST nearest learned patterns

// Settings of a context; mlv_options_init fills the defaults.
typedef struct mlv_options {
  const char *redis_host;       // Redis address, default "127.0.0.1" (copied by mlv_open)
  int32_t redis_port;           // default 6379
  uint32_t max_age_seconds;     // reload a cached argument at least this often, default 300;
                                // a safety net for notices lost while a connection was down
  uint32_t rescan_seconds;      // a name not found rescans its domain at most this often,
                                // default 5
  int32_t subscribe;            // 1 (default): follow the notices; 0: rely on max_age only
  int32_t cache_limit_mib;      // heap the cache may hold, in MiB; 0: the default, 64. Beyond
                                // it the arguments used least recently are dropped
  uint32_t notice_interval_us;  // read the notices at most this often, default 1000 (1 ms);
                                // 0: at every judgement. Each read is a system call
  uint32_t timeout_ms;          // bound of each wait for Redis (connecting, a command's
                                // answer), in ms; 0: the defaults of 1 s and 10 s. The
                                // learning database's bound is MLDB_TIMEOUT, in seconds
} mlv_options;

// One learned pattern near the value's pattern.
typedef struct mlv_near {
  int32_t distance;  // edit distance (insert, delete, replace: 1 each)
  int32_t count;     // times the daemon saw the pattern (pattern_count)
  char pattern[MLV_PATTERN_CAP];
} mlv_near;

// The verdict and its explanation. Fields that a verdict does not reach keep
// their zero value (has_score 0: score, q4, q5 are not meaningful).
typedef struct mlv_result {
  int32_t verdict;  // mlv_verdict
  int32_t state;    // the argument's learning state, MLV_STATE_*
  uint32_t domain_id;
  uint32_t url_id;                // 0 when not known
  uint32_t arg_id;                // 0 when the name was not found
  int32_t has_score;              // 1 when the value was scored against a model
  double score;                   // per-symbol log-likelihood of the pattern
  double q4;                      // lower inner fence: below it, potential
  double q5;                      // lower outer fence: below it, definite
  int32_t learned_pattern;        // 1 when the pattern is one the argument learned
  int32_t pattern_len;            // characters in pattern
  char pattern[MLV_PATTERN_CAP];  // the value's pattern, "" when not made
  int32_t nearest_count;          // entries filled in nearest (MLV_EXPLAIN_NEAREST)
  mlv_near nearest[MLV_NEAREST];  // nearest first
  char reason[160];               // one line saying why, for people
} mlv_result;

// Sizes of the cache, for operators and benchmarks.
typedef struct mlv_cache_stats {
  uint64_t arguments;  // cached arguments (learned or not)
  uint64_t bytes;      // heap bytes held for them, approximate
  uint64_t loads;      // argument loads since open
  uint64_t drops;      // cached arguments dropped by notices or age
  uint64_t notices;    // notices received
} mlv_cache_stats;

typedef struct mlv_ctx mlv_ctx;  // opaque

// Fills *opts with the defaults. Null is ignored.
void mlv_options_init(mlv_options *opts);

// Opens a context: connects to Redis (twice when subscribing) and prepares a
// learning database object (settings from the MLDB_* environment, connected
// at first use). opts may be null for the defaults. Null when Redis does not
// answer or memory runs out; nothing is left to free then.
mlv_ctx *mlv_open(const mlv_options *opts);

// Closes the connections and frees the context and its cache. Null is ignored.
void mlv_close(mlv_ctx *ctx);

// Judges value (len bytes, any content) of the argument named name (name_len
// bytes) of URL url_id in domain domain_id. Returns the verdict, also stored
// in out->verdict with its explanation; MLV_ERROR when a service failed or an
// argument is null (out->reason says which, when out is not null).
int mlv_judge_by_name(mlv_ctx *ctx, uint32_t domain_id, uint32_t url_id, const char *name,
                      size_t name_len, const char *value, size_t len, int flags, mlv_result *out);

// The same for the argument arg:<domain_id>:<arg_id>, known by its number.
// An argument without a hash is not learned (a number carries no name to find
// unknown).
int mlv_judge_by_id(mlv_ctx *ctx, uint32_t domain_id, uint32_t arg_id, const char *value,
                    size_t len, int flags, mlv_result *out);

// Drops everything cached, so that the next judgements load afresh. Null is
// ignored.
void mlv_flush(mlv_ctx *ctx);

// Fills *out with the cache's sizes. Null pointers are ignored.
void mlv_stats(const mlv_ctx *ctx, mlv_cache_stats *out);

// "normal", "potential", "definite", "unknown_argument", "not_learned",
// "error"; "?" for anything else. Static text.
const char *mlv_verdict_name(int verdict);

// What a site does with a verdict. The operating point MLV_POINT_DEFINITE
// (the default everywhere) blocks definite and unknown_argument and logs
// potential; MLV_POINT_POTENTIAL, the stricter one, blocks potential too.
// Normal, not_learned and error pass: a service failure lets traffic through.
// docs/verdict.md gives each point's measured false positives.
typedef enum mlv_action { MLV_PASS = 0, MLV_LOG = 1, MLV_BLOCK = 2 } mlv_action;
#define MLV_POINT_DEFINITE 0
#define MLV_POINT_POTENTIAL 1

// The action of a verdict at an operating point (MLV_POINT_*; any other
// value is taken as MLV_POINT_DEFINITE).
int mlv_action_of(int verdict, int point);

// "pass", "log", "block"; "?" for anything else. Static text.
const char *mlv_action_name(int action);

// The operating point named "definite" or "potential": 0 and *point set, or
// -1 for any other text (point untouched).
int mlv_point_parse(const char *name, int *point);

// "collecting", "building", "learned", "manually learned", "discarded",
// "none"; "?" for anything else. Static text.
const char *mlv_state_name(int state);

#ifdef __cplusplus
}  // extern "C"
#endif

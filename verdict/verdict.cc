// Verdict library: placeholder bodies until the cache and the judgement land.
// Every judgement reports an error, so callers can be written and linked.
#include "verdict/verdict.h"

#include <cstdio>
#include <cstring>

void mlv_options_init(mlv_options *opts) {
  if (!opts) return;
  memset(opts, 0, sizeof *opts);
  opts->redis_host = "127.0.0.1";
  opts->redis_port = 6379;
  opts->max_age_seconds = 300;
  opts->rescan_seconds = 5;
  opts->subscribe = 1;
}

mlv_ctx *mlv_open(const mlv_options *) { return nullptr; }
void mlv_close(mlv_ctx *) {}

static int not_ready(mlv_result *out) {
  if (out) {
    memset(out, 0, sizeof *out);
    out->verdict = MLV_ERROR;
    snprintf(out->reason, sizeof out->reason, "verdict library not built yet");
  }
  return MLV_ERROR;
}

int mlv_judge_by_name(mlv_ctx *, uint32_t, uint32_t, const char *, size_t, const char *, size_t,
                      int, mlv_result *out) {
  return not_ready(out);
}
int mlv_judge_by_id(mlv_ctx *, uint32_t, uint32_t, const char *, size_t, int, mlv_result *out) {
  return not_ready(out);
}
void mlv_flush(mlv_ctx *) {}
void mlv_stats(const mlv_ctx *, mlv_cache_stats *out) {
  if (out) memset(out, 0, sizeof *out);
}

const char *mlv_verdict_name(int v) {
  switch (v) {
    case MLV_NORMAL:
      return "normal";
    case MLV_POTENTIAL:
      return "potential";
    case MLV_DEFINITE:
      return "definite";
    case MLV_UNKNOWN_ARGUMENT:
      return "unknown_argument";
    case MLV_NOT_LEARNED:
      return "not_learned";
    case MLV_ERROR:
      return "error";
    default:
      return "?";
  }
}

const char *mlv_state_name(int s) {
  switch (s) {
    case MLV_STATE_NONE:
      return "none";
    case MLV_STATE_COLLECTING:
      return "collecting";
    case MLV_STATE_BUILDING:
      return "building";
    case MLV_STATE_LEARNED:
      return "learned";
    case MLV_STATE_MANUALLY_LEARNED:
      return "manually learned";
    case MLV_STATE_DISCARDED:
      return "discarded";
    default:
      return "?";
  }
}

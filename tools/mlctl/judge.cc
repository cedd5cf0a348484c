// mlctl judge: values judged by the verdict library as the proxy would, one
// line (or JSON object) per value beginning with the verdict, then the
// explanation; a file of "DOMAIN URL ARG VALUE" lines ends with counts.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "tools/mlctl/job_file.h"
#include "tools/mlctl/mlctl.h"
#include "verdict/verdict.h"

namespace mlctl {
namespace {

std::string nearest_text(const mlv_result &r) {
  std::string s;
  for (int i = 0; i < r.nearest_count; i++)
    s += std::string(i ? "," : "") + std::string(r.nearest[i].pattern) + ":" +
         std::to_string(r.nearest[i].distance);
  return s.empty() ? "-" : s;
}

void print_text(const job &j, const mlv_result &r, int point) {
  printf("%-16s %-5s domain %u arg %u", mlv_verdict_name(r.verdict),
         mlv_action_name(mlv_action_of(r.verdict, point)), j.domain, j.arg);
  if (r.has_score)
    printf(" score %.3f q4 %.3f q5 %.3f pattern %s learned %s nearest %s", r.score, r.q4, r.q5,
           r.pattern, r.learned_pattern ? "yes" : "no", nearest_text(r).c_str());
  printf(" -- %s\n", r.reason);
}

void print_json(const job &j, const mlv_result &r, int point) {
  printf(
      "{\"domain_id\":%u,\"url_id\":%u,\"arg_id\":%u,\"value\":%s,\"verdict\":%s,\"action\":%s,"
      "\"state\":%s,"
      "\"score\":%s,\"q4\":%s,\"q5\":%s,\"pattern\":%s,\"learned_pattern\":%s,\"nearest\":[",
      j.domain, r.url_id ? r.url_id : j.url, j.arg, json_quote(j.value).c_str(),
      json_quote(mlv_verdict_name(r.verdict)).c_str(),
      json_quote(mlv_action_name(mlv_action_of(r.verdict, point))).c_str(),
      json_quote(mlv_state_name(r.state)).c_str(),
      r.has_score ? json_number(r.score).c_str() : "null",
      r.has_score ? json_number(r.q4).c_str() : "null",
      r.has_score ? json_number(r.q5).c_str() : "null",
      r.has_score ? json_quote(r.pattern).c_str() : "null", r.learned_pattern ? "true" : "false");
  for (int i = 0; i < r.nearest_count; i++)
    printf("%s{\"pattern\":%s,\"distance\":%d,\"count\":%d}", i ? "," : "",
           json_quote(r.nearest[i].pattern).c_str(), r.nearest[i].distance, r.nearest[i].count);
  printf("],\"reason\":%s}\n", json_quote(r.reason).c_str());
}

// Reads every job first, so that a malformed line refuses the input before
// anything is judged.
int read_jobs(const std::string &path, std::vector<job> *jobs) {
  FILE *f = path == "-" ? stdin : fopen(path.c_str(), "re");
  if (!f) return usage_error("judge", "cannot open %s: %s", path.c_str(), strerror(errno));
  const unsigned bad = read_job_lines(f, jobs);
  if (f != stdin) fclose(f);
  if (bad)
    return usage_error("judge", "%s:%u: expected DOMAIN URL ARG VALUE (a line of at most 1 MiB)",
                       path.c_str(), bad);
  return kOk;
}

int judge_all(const options &o, const std::vector<job> &jobs, bool summary) {
  mlv_options vo;
  mlv_options_init(&vo);
  vo.redis_host = o.host.c_str();
  vo.redis_port = o.port;
  vo.subscribe = 0;  // one pass over a fixed list: nothing to follow
  mlv_ctx *ctx = mlv_open(&vo);
  if (!ctx)
    return service_error("judge", "cannot connect to Redis at %s:%d", o.host.c_str(), o.port);
  std::map<int, long> counts, actions;
  mlv_result r;
  for (const job &j : jobs) {
    mlv_judge_by_id(ctx, j.domain, j.arg, j.value.data(), j.value.size(), MLV_EXPLAIN_NEAREST, &r);
    counts[r.verdict]++;
    actions[mlv_action_of(r.verdict, o.point)]++;
    o.json ? print_json(j, r, o.point) : print_text(j, r, o.point);
  }
  mlv_close(ctx);
  const int verdicts[] = {MLV_NORMAL,           MLV_POTENTIAL,   MLV_DEFINITE,
                          MLV_UNKNOWN_ARGUMENT, MLV_NOT_LEARNED, MLV_ERROR};
  if (summary) {
    printf(o.json ? "{\"counts\":{" : "counts:");
    for (size_t i = 0; i < 6; i++)
      printf(o.json ? "%s\"%s\":%ld" : "%s %s %ld", i ? "," : "", mlv_verdict_name(verdicts[i]),
             counts[verdicts[i]]);
    const char *point = o.point == MLV_POINT_POTENTIAL ? "potential" : "definite";
    printf(o.json ? "},\"actions\":{\"block\":%ld,\"log\":%ld,\"pass\":%ld},\"point\":\"%s\","
                    "\"values\":%zu}\n"
                  : "; block %ld log %ld pass %ld at point %s (%zu values)\n",
           actions[MLV_BLOCK], actions[MLV_LOG], actions[MLV_PASS], point, jobs.size());
  }
  if (counts[MLV_ERROR] > 0)
    return service_error("judge", "%ld value(s) could not be judged", counts[MLV_ERROR]);
  return kOk;
}

}  // namespace

int cmd_judge(const options &o) {
  std::vector<job> jobs;
  if (!o.file.empty()) {
    if (!o.args.empty()) return usage_error("judge", "-f FILE takes no other arguments");
    int rc = read_jobs(o.file, &jobs);
    return rc != kOk ? rc : judge_all(o, jobs, true);
  }
  job j;
  if (o.args.size() != 3 || !parse_u32(o.args[0], &j.domain) || !parse_u32(o.args[1], &j.arg))
    return usage_error("judge", "needs DOMAIN ARG VALUE (numbers, then the value) or -f FILE");
  j.value = o.args[2];
  jobs.push_back(j);
  return judge_all(o, jobs, false);
}

}  // namespace mlctl

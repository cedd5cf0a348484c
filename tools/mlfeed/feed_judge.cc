#include "tools/mlfeed/feed_judge.h"

#include <cstring>

namespace mlfeed {

Judge::Judge(redisContext *c, uint32_t domain_id, const std::string &redis_host, int redis_port,
             bool per_arg, int point)
    : ids_(c, domain_id), domain_(domain_id), per_arg_(per_arg), point_(point) {
  mlv_options opts;
  mlv_options_init(&opts);
  opts.redis_host = redis_host.c_str();
  opts.redis_port = redis_port;
  ctx_ = mlv_open(&opts);
  if (!ctx_) error_ = "the verdict library cannot reach Redis at " + redis_host;
}

Judge::~Judge() { mlv_close(ctx_); }

int Judge::argument(uint32_t url, bool url_known, const traffic::Argument &a, mlv_result *r) {
  if (!url_known) {
    memset(r, 0, sizeof *r);
    r->verdict = MLV_NOT_LEARNED;
    r->domain_id = domain_;
    snprintf(r->reason, sizeof r->reason, "the URL was never fed");
    return 0;
  }
  uint32_t arg = 0;
  const int found = ids_.arg_id(url, a.name, false, &arg);
  if (found < 0) {
    error_ = ids_.error();
    return -1;
  }
  const int v = found ? mlv_judge_by_id(ctx_, domain_, arg, a.value.data(), a.value.size(), 0, r)
                      : mlv_judge_by_name(ctx_, domain_, url, a.name.data(), a.name.size(),
                                          a.value.data(), a.value.size(), 0, r);
  if (v == MLV_ERROR) {
    error_ = std::string("verdict failed: ") + r->reason;
    return -1;
  }
  return 0;
}

void Judge::write_arg_line(FILE *out, const traffic::Request &req, const traffic::Argument &a,
                           const mlv_result &r) {
  if (!header_done_) {
    fprintf(out, "#line\tverdict\turl_id\targ_id\tname\tscore\tq4\tq5\tlearned\tpattern\tvalue\n");
    header_done_ = true;
  }
  fprintf(out, "%u\t%s\t%u\t%u\t%s\t", req.line, mlv_verdict_name(r.verdict), r.url_id, r.arg_id,
          printable(a.name, 64).c_str());
  if (r.has_score)
    fprintf(out, "%.4f\t%.4f\t%.4f\t", r.score, r.q4, r.q5);
  else
    fputs("-\t-\t-\t", out);
  fprintf(out, "%d\t%s\t%s\n", r.learned_pattern, printable(r.pattern, sizeof r.pattern).c_str(),
          printable(a.value, 300).c_str());
}

int Judge::request(const traffic::Request &req, FILE *out) {
  uint32_t url = 0;
  const int known = ids_.url_id(req.host, req.path, false, &url);
  if (known < 0) {
    error_ = ids_.error();
    return -1;
  }
  int worst = req.args.empty() ? kNoArguments : kNormal;
  std::string detail;
  for (const auto &a : req.args) {
    if (a.value.empty()) continue;
    mlv_result r;
    if (argument(url, known == 1, a, &r) < 0) return -1;
    if (per_arg_) write_arg_line(out, req, a, r);
    const int v = request_verdict_of(r.verdict);
    if (v > worst) worst = v;
    // Names, paths and values come from the traffic: printed raw, a name
    // holding a line end would forge a verdict line, and escapes would reach
    // the operator's terminal.
    const std::string name = printable(a.name, 100);
    char buf[1024];
    if (v == kNormal)
      snprintf(buf, sizeof buf, " %s=normal", name.c_str());
    else if (r.has_score)
      snprintf(buf, sizeof buf, " %s=%s(score %.2f q4 %.2f q5 %.2f pattern %s%s value \"%s\")",
               name.c_str(), mlv_verdict_name(r.verdict), r.score, r.q4, r.q5,
               printable(r.pattern, sizeof r.pattern).c_str(), r.learned_pattern ? " learned" : "",
               printable(a.value, 40).c_str());
    else
      snprintf(buf, sizeof buf, " %s=%s(%s)", name.c_str(), mlv_verdict_name(r.verdict),
               printable(r.reason, sizeof r.reason).c_str());
    detail += buf;
  }
  counts_[worst]++;
  if (!per_arg_)
    fprintf(out, "%-16s line %u %s %s%s%s\n", request_verdict_name(worst), req.line,
            printable(req.method, 32).c_str(), printable(req.host, 300).c_str(),
            printable(req.path, 300).c_str(), detail.c_str());
  return 0;
}

void Judge::summary(FILE *out, unsigned long refused) const {
  // A request takes the action of its gravest verdict, as a proxy acts on it.
  unsigned long total = 0, actions[3] = {};
  for (int v = 0; v < kKinds; v++) {
    total += counts_[v];
    actions[mlv_action_of(traffic::request_verdict_mlv(v), point_)] += counts_[v];
  }
  fprintf(out, "mlfeed: %lu requests judged, %lu blocked, %lu logged at point %s:", total,
          actions[MLV_BLOCK], actions[MLV_LOG],
          point_ == MLV_POINT_POTENTIAL ? "potential" : "definite");
  for (int v = 0; v < kKinds; v++) fprintf(out, " %s %lu", request_verdict_name(v), counts_[v]);
  if (refused) fprintf(out, "; %lu malformed requests refused", refused);
  fputc('\n', out);
}

}  // namespace mlfeed

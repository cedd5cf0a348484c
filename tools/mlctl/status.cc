// mlctl status: one row per argument with its learning state and how far it
// is from readiness, then totals per state.
//
// Readiness follows the daemon's rule: count-and-time policies (mode 0) need
// 2500 stored samples and the policy's learning weeks since start_time,
// count-only policies (mode 1) 1500 samples; a policy with 0 weeks, another
// mode or no policy at all never makes an argument ready, which the row says.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <tuple>

#include "tools/mlctl/mlctl.h"
#include "verdict/verdict.h"

namespace mlctl {
namespace {

constexpr long kWeek = 604800;

struct row {
  long long domain = 0, url = 0, arg = 0;
  std::string name;
  int state = 0;
  long long normal = 0, abnormal = 0, start = 0, groups = 0;
  double progress = 0;
  long long seconds_left = -1;  // -1: no time condition
  std::string note;             // why readiness cannot come
};

struct policy_rule {
  bool found = false;
  int mode = -1;
  long long weeks = 0;
};

// arg:<d>:<a> with two decimal numbers; false for any other key.
bool split_key(const std::string &key, long long *d, long long *a) {
  char *end = nullptr;
  if (key.compare(0, 4, "arg:") != 0) return false;
  *d = strtoll(key.c_str() + 4, &end, 10);
  if (end == key.c_str() + 4 || *end != ':') return false;
  const char *p = end + 1;
  *a = strtoll(p, &end, 10);
  return end != p && *end == '\0';
}

std::map<long long, policy_rule> domain_rules(redis &r, const std::vector<row> &rows) {
  std::map<long long, policy_rule> rules;
  for (const row &x : rows) rules[x.domain];
  for (auto &[d, rule] : rules) {
    reply di = r.cmd({"HMGET", "domain_info:" + std::to_string(d), "adomname", "policy_name"});
    if (elem_nil(di.get(), 0) || elem_nil(di.get(), 1)) continue;
    reply p = r.cmd({"HMGET", "policy:" + elem(di.get(), 0) + ":" + elem(di.get(), 1),
                     "sample_collecting_mode", "model_min_learn_time"});
    if (elem_nil(p.get(), 0) || elem_nil(p.get(), 1)) continue;
    rule = {true, atoi(elem(p.get(), 0).c_str()), atoll(elem(p.get(), 1).c_str())};
  }
  return rules;
}

void progress(row *x, const policy_rule &rule, long long now) {
  if (x->state == MLV_STATE_BUILDING || x->state == MLV_STATE_LEARNED ||
      x->state == MLV_STATE_MANUALLY_LEARNED) {
    x->progress = 1;
    return;
  }
  if (x->state != MLV_STATE_COLLECTING) return;
  if (!rule.found)
    x->note = "no policy";
  else if (rule.weeks == 0)
    x->note = "policy learns 0 weeks";
  else if (rule.mode != 0 && rule.mode != 1)
    x->note = "policy mode " + std::to_string(rule.mode);
  if (!x->note.empty()) return;
  const double need = rule.mode == 0 ? 2500 : 1500;
  x->progress = std::min(1.0, static_cast<double>(x->normal) / need);
  if (rule.mode == 0) x->seconds_left = std::max(0LL, x->start + rule.weeks * kWeek - now);
}

bool read_rows(redis &r, const std::vector<std::string> &keys, std::vector<row> *rows) {
  std::vector<std::vector<std::string>> cmds;
  std::vector<row> found;
  for (const auto &k : keys) {
    row x;
    if (!split_key(k, &x.domain, &x.arg)) continue;
    found.push_back(x);
    cmds.push_back({"HMGET", k, "arg_learn_stat", "normalcount", "abnormalcount", "arg_name",
                    "urlid", "start_time"});
    cmds.push_back(
        {"LLEN", "arg:boxplot:" + std::to_string(x.domain) + ":" + std::to_string(x.arg)});
  }
  std::vector<reply> rep = r.pipeline(cmds);
  if (rep.size() != cmds.size()) return false;
  for (size_t i = 0; i < found.size(); i++) {
    row &x = found[i];
    const redisReply *h = rep[2 * i].get();
    if (h->type != REDIS_REPLY_ARRAY) continue;  // not a hash after all
    x.state = atoi(elem(h, 0).c_str());
    x.normal = atoll(elem(h, 1).c_str());
    x.abnormal = atoll(elem(h, 2).c_str());
    x.name = elem(h, 3);
    x.url = atoll(elem(h, 4).c_str());
    x.start = atoll(elem(h, 5).c_str());
    x.groups = rep[2 * i + 1]->type == REDIS_REPLY_INTEGER ? rep[2 * i + 1]->integer : 0;
    rows->push_back(x);
  }
  return true;
}

std::string left_text(const row &x) {
  if (!x.note.empty()) return "never: " + x.note;
  if (x.seconds_left < 0 || x.state != MLV_STATE_COLLECTING) return "-";
  char b[32];
  long long s = x.seconds_left;
  snprintf(b, sizeof b, "%lldd %02lldh %02lldm", s / 86400, s / 3600 % 24, s / 60 % 60);
  return b;
}

std::string printable(const std::string &s, size_t cap) {
  std::string out;
  for (unsigned char c : s.substr(0, cap))
    out += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
  return out;
}

void print_text(const std::vector<row> &rows) {
  printf("%-10s %-8s %-8s %-24s %-16s %8s %8s %8s %-20s %s\n", "DOMAIN", "URL", "ARG", "NAME",
         "STATE", "NORMAL", "ABNORMAL", "PROGRESS", "TIME LEFT", "BOXPLOTS");
  std::map<int, int> totals;
  for (const row &x : rows) {
    printf("%-10lld %-8lld %-8lld %-24s %-16s %8lld %8lld %7.1f%% %-20s %lld\n", x.domain, x.url,
           x.arg, printable(x.name, 24).c_str(), mlv_state_name(x.state), x.normal, x.abnormal,
           100.0 * x.progress, left_text(x).c_str(), x.groups);
    totals[x.state]++;
  }
  printf("totals:");
  for (int s = 1; s <= 5; s++) printf("%s %s %d", s > 1 ? "," : "", mlv_state_name(s), totals[s]);
  printf(" (%zu arguments)\n", rows.size());
}

void print_json(const std::vector<row> &rows) {
  printf("[");
  for (size_t i = 0; i < rows.size(); i++) {
    const row &x = rows[i];
    printf(
        "%s\n{\"domain_id\":%lld,\"url_id\":%lld,\"arg_id\":%lld,\"name\":%s,\"state\":%s,"
        "\"state_code\":%d,\"normalcount\":%lld,\"abnormalcount\":%lld,\"progress\":%s,"
        "\"seconds_left\":%s,\"never_ready\":%s,\"boxplot_groups\":%lld}",
        i ? "," : "", x.domain, x.url, x.arg, json_quote(x.name).c_str(),
        json_quote(mlv_state_name(x.state)).c_str(), x.state, x.normal, x.abnormal,
        json_number(x.progress).c_str(),
        x.seconds_left < 0 ? "null" : std::to_string(x.seconds_left).c_str(),
        x.note.empty() ? "null" : json_quote(x.note).c_str(), x.groups);
  }
  printf("\n]\n");
}

}  // namespace

int cmd_status(const options &o) {
  if (o.args.size() > 1) return usage_error("status", "takes at most one DOMAIN");
  uint32_t domain = 0;
  if (o.args.size() == 1 && !parse_u32(o.args[0], &domain))
    return usage_error("status", "DOMAIN must be a number, not '%s'", o.args[0].c_str());
  redis r;
  if (!r.connect(o.host, o.port)) return service_error("status", "%s", r.error().c_str());
  std::vector<std::string> keys;
  const std::string pattern =
      o.args.empty() ? "arg:*" : "arg:" + std::to_string(static_cast<int>(domain)) + ":*";
  std::vector<row> rows;
  if (!scan_keys(r, pattern, &keys) || !read_rows(r, keys, &rows))
    return service_error("status", "%s", r.error().empty() ? "Redis failed" : r.error().c_str());
  std::sort(rows.begin(), rows.end(), [](const row &a, const row &b) {
    return std::tie(a.domain, a.url, a.arg) < std::tie(b.domain, b.url, b.arg);
  });
  auto rules = domain_rules(r, rows);
  const long long now = time(nullptr);
  for (row &x : rows) progress(&x, rules[x.domain], now);
  o.json ? print_json(rows) : print_text(rows);
  return kOk;
}

}  // namespace mlctl

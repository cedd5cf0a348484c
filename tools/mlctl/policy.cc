// mlctl policies, policy set/delete, learn, relearn: the writes and the
// configuration messages the management plane makes, on channel1, in the
// JSON form the daemon decodes.
//
// A policy delete takes effect in the daemon only while the policy's hash
// still holds its four fields (the daemon reads the names to remove from it),
// so the hash is deleted after the message, once a grace period has passed
// (--grace MS, 2000 by default; at once when no daemon listens).
#include <json-c/json.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "tools/mlctl/mlctl.h"

namespace mlctl {
namespace {

constexpr const char *kChannel = "channel1";
const char *const kFields[] = {"sample_collecting_mode", "hmm_engine", "model_min_learn_time",
                               "sl_automatic_definitely"};
constexpr size_t kVdomMax = 11;
constexpr size_t kPolicyMax = 63;

struct policy_row {
  std::string vdom, name;
  std::map<std::string, std::string> fields;
};

// The configuration message, compact, keys as the daemon's decoder reads them.
std::string message(int cls, int action, const std::map<std::string, std::string> &text,
                    const std::map<std::string, int64_t> &numbers) {
  json_object *o = json_object_new_object();
  json_object_object_add(o, "class", json_object_new_int(cls));
  json_object_object_add(o, "action", json_object_new_int(action));
  for (const auto &[k, v] : text)
    json_object_object_add(o, k.c_str(), json_object_new_string(v.c_str()));
  for (const auto &[k, v] : numbers) json_object_object_add(o, k.c_str(), json_object_new_int64(v));
  std::string out = json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN);
  json_object_put(o);
  return out;
}

// Publishes; the number of receivers, or -1.
long long publish(redis &r, const std::string &text) {
  reply p = r.cmd({"PUBLISH", kChannel, text});
  return p && p->type == REDIS_REPLY_INTEGER ? p->integer : -1;
}

bool valid_name(const std::string &s, size_t max) {
  if (s.empty() || s.size() > max) return false;
  for (unsigned char c : s)
    if (c <= ' ' || c == ':' || c == 0x7f || c == '"' || c == '\\') return false;
  return true;
}

bool is_field(const std::string &k) {
  for (const char *f : kFields)
    if (k == f) return true;
  return false;
}

bool is_int(const std::string &v) {
  if (v.empty() || v.size() > 10) return false;
  for (char c : v)
    if (c < '0' || c > '9') return false;
  return strtoll(v.c_str(), nullptr, 10) <= INT32_MAX;
}

int policy_set(const options &o) {
  if (o.args.size() < 4) return usage_error("policy", "set needs VDOM NAME KEY=VALUE...");
  const std::string &vdom = o.args[1], &name = o.args[2];
  if (!valid_name(vdom, kVdomMax) || !valid_name(name, kPolicyMax))
    return usage_error("policy",
                       "VDOM (1..11) and NAME (1..63) are printable, without ':' or blanks");
  std::vector<std::string> hset = {"HSET", "policy:" + vdom + ":" + name};
  std::map<std::string, std::string> given;
  for (size_t i = 3; i < o.args.size(); i++) {
    const std::string &kv = o.args[i];
    size_t eq = kv.find('=');
    std::string k = kv.substr(0, eq), v = eq == std::string::npos ? "" : kv.substr(eq + 1);
    if (!is_field(k)) return usage_error("policy", "unknown setting '%s'", k.c_str());
    if (!is_int(v)) return usage_error("policy", "%s needs a number 0..2147483647", k.c_str());
    given[k] = v;
  }
  redis r;
  if (!r.connect(o.host, o.port)) return service_error("policy", "%s", r.error().c_str());
  reply ex = r.cmd({"EXISTS", hset[1]});
  if (!ex) return service_error("policy", "%s", r.error().c_str());
  const bool fresh = ex->integer == 0;
  for (const char *f : kFields)
    if (fresh && !given.count(f))
      return usage_error("policy", "a new policy needs all four settings; %s is missing", f);
  for (const auto &[k, v] : given) hset.insert(hset.end(), {k, v});
  reply w = r.cmd(hset);
  if (!w || w->type == REDIS_REPLY_ERROR)
    return service_error("policy", "writing %s failed", hset[1].c_str());
  long long n = publish(r, message(0, fresh ? 0 : 1, {{"vdom", vdom}, {"policy", name}}, {}));
  if (n < 0) return service_error("policy", "publishing the change failed");
  printf("policy %s/%s %s; %lld receiver(s) told\n", vdom.c_str(), name.c_str(),
         fresh ? "added" : "changed", n);
  return kOk;
}

int policy_delete(const options &o) {
  if (o.args.size() != 3) return usage_error("policy", "delete needs VDOM NAME");
  const std::string key = "policy:" + o.args[1] + ":" + o.args[2];
  if (!valid_name(o.args[1], kVdomMax) || !valid_name(o.args[2], kPolicyMax))
    return usage_error("policy",
                       "VDOM (1..11) and NAME (1..63) are printable, without ':' or blanks");
  redis r;
  if (!r.connect(o.host, o.port)) return service_error("policy", "%s", r.error().c_str());
  reply ex = r.cmd({"EXISTS", key});
  if (!ex) return service_error("policy", "%s", r.error().c_str());
  if (ex->integer == 0) return usage_error("policy", "no policy %s", key.c_str() + 7);
  long long n = publish(r, message(0, 2, {{"vdom", o.args[1]}, {"policy", o.args[2]}}, {}));
  if (n < 0) return service_error("policy", "publishing the change failed");
  if (n > 0) usleep(static_cast<useconds_t>(o.grace_ms * 1000));
  reply d = r.cmd({"DEL", key});
  if (!d) return service_error("policy", "%s", r.error().c_str());
  printf("policy %s/%s deleted; %lld receiver(s) told\n", o.args[1].c_str(), o.args[2].c_str(), n);
  return kOk;
}

std::vector<policy_row> read_policies(redis &r, bool *ok) {
  std::vector<std::string> keys;
  std::vector<policy_row> rows;
  *ok = scan_keys(r, "policy:*", &keys);
  std::sort(keys.begin(), keys.end());
  for (const auto &k : keys) {
    size_t c1 = k.find(':'), c2 = k.find(':', c1 + 1);
    if (c2 == std::string::npos) continue;
    policy_row p{k.substr(c1 + 1, c2 - c1 - 1), k.substr(c2 + 1), {}};
    reply h = r.cmd({"HMGET", k, kFields[0], kFields[1], kFields[2], kFields[3]});
    if (!h || h->type != REDIS_REPLY_ARRAY) continue;
    for (size_t i = 0; i < 4; i++)
      if (!elem_nil(h.get(), i)) p.fields[kFields[i]] = elem(h.get(), i);
    rows.push_back(p);
  }
  return rows;
}

}  // namespace

int cmd_policies(const options &o) {
  if (!o.args.empty()) return usage_error("policies", "takes no arguments");
  redis r;
  if (!r.connect(o.host, o.port)) return service_error("policies", "%s", r.error().c_str());
  bool ok = false;
  std::vector<policy_row> rows = read_policies(r, &ok);
  if (!ok) return service_error("policies", "%s", r.error().c_str());
  if (o.json)
    printf("[");
  else
    printf("%-12s %-24s %6s %6s %10s %10s\n", "VDOM", "NAME", "MODE", "ENGINE", "LEARN_WEEKS",
           "AUTO_DEF");
  for (size_t i = 0; i < rows.size(); i++) {
    auto f = [&](int k) {
      auto it = rows[i].fields.find(kFields[k]);
      return it == rows[i].fields.end() ? std::string() : it->second;
    };
    if (o.json) {
      printf("%s\n{\"vdom\":%s,\"name\":%s", i ? "," : "", json_quote(rows[i].vdom).c_str(),
             json_quote(rows[i].name).c_str());
      for (int k = 0; k < 4; k++)
        printf(",\"%s\":%s", kFields[k],
               f(k).empty()   ? "null"
               : is_int(f(k)) ? f(k).c_str()
                              : json_quote(f(k)).c_str());
      printf(",\"complete\":%s}", rows[i].fields.size() == 4 ? "true" : "false");
    } else {
      printf("%-12s %-24s %6s %6s %10s %10s%s\n", rows[i].vdom.c_str(), rows[i].name.c_str(),
             f(0).c_str(), f(1).c_str(), f(2).c_str(), f(3).c_str(),
             rows[i].fields.size() == 4 ? "" : "  (incomplete: the daemon ignores it)");
    }
  }
  if (o.json) printf("\n]\n");
  return kOk;
}

int cmd_policy(const options &o) {
  if (o.args.empty()) return usage_error("policy", "needs set or delete");
  if (o.args[0] == "set") return policy_set(o);
  if (o.args[0] == "delete") return policy_delete(o);
  return usage_error("policy", "unknown action '%s' (set or delete)", o.args[0].c_str());
}

int cmd_learn(const options &o, bool relearn) {
  const char *cmd = relearn ? "relearn" : "learn";
  uint32_t d = 0, a = 0;
  if (o.args.size() != 2 || !parse_u32(o.args[0], &d) || !parse_u32(o.args[1], &a))
    return usage_error(cmd, "needs DOMAIN ARG, two numbers");
  redis r;
  if (!r.connect(o.host, o.port)) return service_error(cmd, "%s", r.error().c_str());
  const std::string key =
      "arg:" + std::to_string(static_cast<int>(d)) + ":" + std::to_string(static_cast<int>(a));
  reply ex = r.cmd({"EXISTS", key});
  if (!ex) return service_error(cmd, "%s", r.error().c_str());
  if (ex->integer == 0)
    return usage_error(cmd, "no argument %u of domain %u (%s)", a, d, key.c_str());
  long long n =
      publish(r, message(relearn ? 2 : 4, relearn ? 10 : 6, {}, {{"domain_id", d}, {"arg_id", a}}));
  if (n < 0) return service_error(cmd, "publishing the request failed");
  if (n == 0) return service_error(cmd, "no daemon listens on %s; nothing was done", kChannel);
  printf("%s requested for argument %u of domain %u\n", relearn ? "relearning" : "manual learning",
         a, d);
  return kOk;
}

}  // namespace mlctl

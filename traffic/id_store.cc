#include "traffic/id_store.h"

#include <memory>
#include <vector>

namespace traffic {

namespace {

struct ReplyFree {
  void operator()(redisReply *r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

Reply command(redisContext *c, const std::vector<std::string> &argv) {
  std::vector<const char *> a;
  std::vector<size_t> l;
  for (const auto &s : argv) {
    a.push_back(s.data());
    l.push_back(s.size());
  }
  return Reply(static_cast<redisReply *>(
      redisCommandArgv(c, static_cast<int>(a.size()), a.data(), l.data())));
}

bool failed(redisContext *c, const Reply &r, std::string *err) {
  if (r && r->type != REDIS_REPLY_ERROR) return false;
  if (err) *err = r ? std::string(r->str, r->len) : std::string(c->errstr);
  return true;
}

// Returns the id stored under ARGV[1], or takes the next one from the
// counter, skipping ids whose "<prefix><id>" key exists, and stores it.
// With caps (ARGV[4] per URL, counted under field ARGV[6]; ARGV[5] per
// domain), a new id is made only below them and counted in KEYS[3].
// Reply: {id, 1 when it was made}, or {0, 2} over the domain's cap and
// {0, 3} over the URL's.
constexpr const char *kAssign = R"lua(
local v = redis.call('HGET', KEYS[1], ARGV[1])
if v then return {tonumber(v), 0} end
local per_url, per_dom = tonumber(ARGV[4]), tonumber(ARGV[5])
local function count(f) return tonumber(redis.call('HGET', KEYS[3], f) or '0') end
if per_dom > 0 and count(ARGV[2]) >= per_dom then return {0, 2} end
if per_url > 0 and ARGV[6] ~= '' and count(ARGV[6]) >= per_url then return {0, 3} end
repeat
  v = redis.call('HINCRBY', KEYS[2], ARGV[2], 1)
until ARGV[3] == '' or redis.call('EXISTS', ARGV[3] .. v) == 0
redis.call('HSET', KEYS[1], ARGV[1], v)
if per_url > 0 or per_dom > 0 then
  redis.call('HINCRBY', KEYS[3], ARGV[2], 1)
  if ARGV[6] ~= '' then redis.call('HINCRBY', KEYS[3], ARGV[6], 1) end
end
return {v, 1}
)lua";

// The proxy's first sight of an argument: names always, state only when absent.
constexpr const char *kArgHash = R"lua(
redis.call('HSET', KEYS[1], 'arg_name', ARGV[1], 'urlid', ARGV[2])
if redis.call('HSETNX', KEYS[1], 'arg_learn_stat', 1) == 1 then
  redis.call('HSET', KEYS[1], 'events', 0, 'start_time', ARGV[3], 'normalcount', 0,
             'abnormalcount', 0, 'anomaly_cnt', 0)
end
return 1
)lua";

}  // namespace

std::string urls_key(uint32_t d) { return "mlfeed:urls:" + std::to_string(d); }
std::string args_key(uint32_t d) { return "mlfeed:args:" + std::to_string(d); }
std::string next_key(uint32_t d) { return "mlfeed:next:" + std::to_string(d); }
std::string gained_key(uint32_t d) { return "mlfeed:gained:" + std::to_string(d); }

int ensure_domain(redisContext *c, const DomainSettings &s, const std::string &first_host,
                  std::string *err) {
  const std::string key = "domain_info:" + std::to_string(s.id);
  Reply have = command(c, {"HMGET", key, "policy_name", "mysql_dbname"});
  if (failed(c, have, err)) return 2;
  if (have->type != REDIS_REPLY_ARRAY || have->elements != 2) {
    if (err) *err = "unexpected reply to HMGET " + key;
    return 2;
  }
  const bool has_policy = have->element[0]->type == REDIS_REPLY_STRING;
  const bool has_db = have->element[1]->type == REDIS_REPLY_STRING;
  if ((!has_policy && !s.policy) || (!has_db && !s.dbname)) {
    if (err) *err = key + " does not exist yet: give its policy name and database name";
    return 1;
  }
  struct Field {
    const char *name;
    const std::optional<std::string> &given;
    std::string fallback;  // written only when the hash lacks the field
  };
  const Field fields[] = {
      {"adomname", s.vdom, "root"},
      {"policy_name", s.policy, ""},
      {"mysql_dbname", s.dbname, ""},
      {"domain", s.name, first_host.empty() ? "domain" + std::to_string(s.id) : first_host}};
  for (const Field &f : fields) {
    Reply r =
        command(c, {f.given ? "HSET" : "HSETNX", key, f.name, f.given ? *f.given : f.fallback});
    if (failed(c, r, err)) return 2;
  }
  const std::string id = std::to_string(s.id);
  Reply r = command(c, {"HSET", "domains", id, id});
  return failed(c, r, err) ? 2 : 0;
}

IdStore::IdStore(redisContext *c, uint32_t domain_id) : c_(c), domain_(domain_id) {}

void IdStore::set_caps(uint32_t per_url, uint32_t per_domain) {
  cap_url_ = per_url;
  cap_domain_ = per_domain;
  refused_.clear();
}

bool IdStore::capped(uint32_t url) {
  return refused_lately("*arg") || refused_.count("*url:" + std::to_string(url)) > 0;
}

bool IdStore::refused_lately(const std::string &field) {
  const time_t now = time(nullptr);
  if (now - refused_since_ >= kRefusalMemory || refused_.size() >= kRefusalKept) {
    refused_.clear();
    refused_since_ = now;
  }
  return refused_.count(field) > 0;
}

int IdStore::lookup(const std::string &map_key, const std::string &counter,
                    const std::string &field, bool create, const std::string &skip_prefix,
                    const std::string &url_field, uint32_t *id) {
  Reply r;
  if (create && refused_lately(field)) {
    error_ = "refused lately by a cap on new names";
    return -3;
  }
  // Once a cap is reached, a name only has an id if it was given one before:
  // a read finds it, without the script and its writes.
  const bool full = create && (refused_.count("*" + counter) ||
                               (!url_field.empty() && refused_.count("*" + url_field)));
  if (full) {
    const int rc = lookup(map_key, counter, field, false, skip_prefix, url_field, id);
    if (rc != 0) return rc;
    refused_.insert(field);
    error_ = "refused by a cap on new names";
    return -3;
  }
  if (create)
    r = command(
        c_, {"EVAL", kAssign, "3", map_key, next_key(domain_), gained_key(domain_), field, counter,
             skip_prefix, std::to_string(cap_url_), std::to_string(cap_domain_), url_field});
  else
    r = command(c_, {"HGET", map_key, field});
  if (failed(c_, r, &error_)) return -1;
  if (r->type == REDIS_REPLY_NIL) return 0;
  if (r->type == REDIS_REPLY_STRING) {
    *id = static_cast<uint32_t>(std::stoul(std::string(r->str, r->len)));
    return 1;
  }
  if (r->type != REDIS_REPLY_ARRAY || r->elements != 2) {
    error_ = "unexpected reply to the id script";
    return -1;
  }
  const long long made = r->element[1]->integer;
  if (made >= 2) {
    refused_.insert(field);
    refused_.insert(made == 2 ? "*" + counter : "*" + url_field);
    error_ = made == 2
                 ? "the domain has gained " + std::to_string(cap_domain_) + " new " + counter +
                       "s, its cap"
                 : "the URL has gained " + std::to_string(cap_url_) + " new arguments, its cap";
    return -3;
  }
  *id = static_cast<uint32_t>(r->element[0]->integer);
  if (made == 1) (counter == "url" ? new_urls_ : new_args_)++;
  return 1;
}

int IdStore::url_id(const std::string &host, const std::string &path, bool create, uint32_t *id) {
  const std::string field = host + " " + path;
  auto it = urls_.find(field);
  if (it != urls_.end()) {
    *id = it->second;
    return 1;
  }
  if (create && urls_.size() >= limit_) {
    error_ = "more than " + std::to_string(limit_) + " distinct URLs in one run";
    return -2;
  }
  int rc = lookup(urls_key(domain_), "url", field, create, "", "", id);
  if (rc == 1) urls_.emplace(field, *id);
  return rc;
}

int IdStore::arg_id(uint32_t url, const std::string &name, bool create, uint32_t *id) {
  const std::string field = std::to_string(url) + " " + name;
  auto it = args_.find(field);
  if (it != args_.end()) {
    *id = it->second;
    return 1;
  }
  if (create && args_.size() >= limit_) {
    error_ = "more than " + std::to_string(limit_) + " distinct argument names in one run";
    return -2;
  }
  const std::string skip = "arg:" + std::to_string(domain_) + ":";
  int rc = lookup(args_key(domain_), "arg", field, create, skip, "url:" + std::to_string(url), id);
  if (rc == 1) args_.emplace(field, *id);
  return rc;
}

int IdStore::ensure_arg(uint32_t url, uint32_t arg, const std::string &name, time_t now) {
  if (hashed_.count(arg)) return 0;
  const std::string key = "arg:" + std::to_string(domain_) + ":" + std::to_string(arg);
  Reply r = command(c_, {"EVAL", kArgHash, "1", key, name, std::to_string(url),
                         std::to_string(static_cast<long long>(now))});
  if (failed(c_, r, &error_)) return -1;
  hashed_.insert(arg);
  return 0;
}

}  // namespace traffic

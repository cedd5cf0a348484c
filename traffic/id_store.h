// Stable ids for mlfeed, kept in Redis so that every run reuses them, and the
// Redis records the proxy keeps for a domain and its arguments.
//
// A URL id names a (host, path) pair and an argument id a (URL id, name) pair
// of one domain. The daemon keys an argument by domain and argument id alone
// (arg:<domain>:<arg>), so argument ids are unique in the whole domain, not
// per URL. Keys, all per domain:
//   mlfeed:urls:<d>   hash  "<host> <path>"  -> url id
//   mlfeed:args:<d>   hash  "<url id> <name>" -> arg id
//   mlfeed:next:<d>   hash  url, arg          -> the last id handed out
//   mlfeed:gained:<d> hash  url, arg, url:<id> -> ids made under a cap
// A new id is taken in one server-side script (read, count, write), so two
// runs feeding the same domain at once still agree; an argument id whose
// arg:<d>:<id> hash already exists (made by someone else) is passed over.
//
// Thread safety: an IdStore and its context belong to one thread.
#pragma once

#include <hiredis/hiredis.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace traffic {

std::string urls_key(uint32_t domain_id);
std::string args_key(uint32_t domain_id);
std::string next_key(uint32_t domain_id);
std::string gained_key(uint32_t domain_id);

// The fields of domain_info:<id> that the daemon reads. Fields given are
// written; fields not given keep what the hash holds. A new domain needs a
// policy name and a database name.
struct DomainSettings {
  uint32_t id = 0;
  std::optional<std::string> vdom;    // adomname; "root" when neither given nor stored
  std::optional<std::string> policy;  // policy_name
  std::optional<std::string> dbname;  // mysql_dbname
  std::optional<std::string> name;    // domain; the first host fed when neither
};

// Writes domain_info:<id> and the domain's entry of the domains hash.
// 0 done; 1 a new domain lacks its policy or database name (nothing
// written); 2 Redis failed. err says why.
int ensure_domain(redisContext *c, const DomainSettings &s, const std::string &first_host,
                  std::string *err);

// Seconds a refusal by a cap is remembered; at most kRefusalKept of them.
constexpr time_t kRefusalMemory = 10;
constexpr size_t kRefusalKept = 4096;

class IdStore {
 public:
  // c stays owned by the caller and must outlive the store.
  IdStore(redisContext *c, uint32_t domain_id);

  // At most max distinct URLs, and as many distinct argument names, are
  // looked up with create in this store's life. Each costs a script call and
  // a cache entry, and a new one a hash in Redis and an argument the daemon
  // learns: traffic making up names would otherwise make them without end.
  void set_limit(size_t max) { limit_ = max; }
  size_t limit() const { return limit_; }

  // Caps on what live traffic may add, where whoever sends a request picks
  // the names: at most per_url new arguments per URL, and per_domain new URLs
  // and as many new arguments in the domain. They are counted in Redis
  // (gained_key), so every gateway and every restart shares them; ids made
  // before the caps were set, or by uncapped stores (mlfeed), do not count.
  // 0: no cap. A refusal is remembered for a while, so a name sent again
  // asks Redis again only after kRefusalMemory seconds; so is a cap found
  // reached, and meanwhile a name of that URL or domain is only looked up.
  void set_caps(uint32_t per_url, uint32_t per_domain);
  // True when a cap on new arguments of URL url (or of the whole domain) was
  // found reached lately: a name without an id will be refused, so a caller
  // may skip asking.
  bool capped(uint32_t url);

  // The id of (host, path), made when create is true. 1 found or made; 0 not
  // known and create false; -1 Redis failed (error()); -2 with create, a URL
  // not yet seen when the limit is reached (error() says so; nothing asked).
  int url_id(const std::string &host, const std::string &path, bool create, uint32_t *id);
  // The same for the argument name of URL url.
  int arg_id(uint32_t url, const std::string &name, bool create, uint32_t *id);
  // Makes arg:<d>:<arg> as the proxy does on first sight: names always, the
  // collecting state and zero counters only when the hash has no state (an
  // argument already learned stays learned). Once per argument per store.
  // 0, or -1 when Redis failed.
  int ensure_arg(uint32_t url, uint32_t arg, const std::string &name, time_t now);

  const std::string &error() const { return error_; }
  unsigned long new_urls() const { return new_urls_; }
  unsigned long new_args() const { return new_args_; }

 private:
  int lookup(const std::string &map_key, const std::string &counter, const std::string &field,
             bool create, const std::string &skip_prefix, const std::string &url_field,
             uint32_t *id);
  bool refused_lately(const std::string &field);

  redisContext *c_;
  uint32_t domain_;
  std::unordered_map<std::string, uint32_t> urls_, args_;  // field -> id
  std::unordered_set<uint32_t> hashed_;                    // arguments ensure_arg has made
  std::unordered_set<std::string> refused_;                // fields a cap refused lately
  time_t refused_since_ = 0;
  uint32_t cap_url_ = 0, cap_domain_ = 0;
  unsigned long new_urls_ = 0, new_args_ = 0;
  size_t limit_ = static_cast<size_t>(-1);
  std::string error_;
};

}  // namespace traffic

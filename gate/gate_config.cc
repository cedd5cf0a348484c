#include "gate/gate_config.h"

#include <json-c/json.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "traffic/request_parse.h"
#include "verdict/verdict.h"

namespace gate {

namespace {

struct json_put {
  void operator()(json_object *o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_put>;

// Reads the members of one object; every check failure names its path.
class Reader {
 public:
  Reader(json_object *obj, std::string path, std::string *error)
      : obj_(obj), path_(std::move(path)), error_(error) {}

  bool object() const {
    return json_object_is_type(obj_, json_type_object) || fail("", "expected an object");
  }
  json_object *member(const char *key) const {
    json_object *v = nullptr;
    return json_object_object_get_ex(obj_, key, &v) ? v : nullptr;
  }
  bool text(const char *key, std::string *out, bool required = false) const {
    json_object *v = member(key);
    if (!v) return !required || fail(key, "missing");
    if (!json_object_is_type(v, json_type_string)) return fail(key, "expected a string");
    out->assign(json_object_get_string(v), static_cast<size_t>(json_object_get_string_len(v)));
    return !out->empty() || fail(key, "empty");
  }
  bool number(const char *key, uint64_t max, uint32_t *out, bool required = false) const {
    json_object *v = member(key);
    if (!v) return !required || fail(key, "missing");
    if (!json_object_is_type(v, json_type_int)) return fail(key, "expected a whole number");
    const int64_t n = json_object_get_int64(v);
    if (n < 1 || static_cast<uint64_t>(n) > max)
      return fail(key, "expected 1 to " + std::to_string(max));
    *out = static_cast<uint32_t>(n);
    return true;
  }
  bool fail(const std::string &key, const std::string &what) const {
    *error_ = path_ + (key.empty() || path_.empty() ? "" : ".") + key + ": " + what;
    return false;
  }
  const std::string &path() const { return path_; }

 private:
  json_object *obj_;
  std::string path_;
  std::string *error_;
};

bool parse_mode(const std::string &text, Mode *out) {
  if (text == "learn")
    *out = Mode::learn;
  else if (text == "detect")
    *out = Mode::detect;
  else if (text == "block")
    *out = Mode::block;
  else
    return false;
  return true;
}

bool add_host(Config *c, const std::string &host, size_t index, const Reader &r, const char *key) {
  const std::string h = traffic::normal_host(host);
  if (h.empty() || !traffic::valid_host(h)) return r.fail(key, "not a host name: " + host);
  if (!c->by_host.emplace(h, index).second) return r.fail(key, "host " + h + " named twice");
  return true;
}

bool parse_aliases(const Reader &r, Site *s) {
  json_object *a = r.member("aliases");
  if (!a) return true;
  if (!json_object_is_type(a, json_type_array)) return r.fail("aliases", "expected an array");
  for (size_t i = 0; i < json_object_array_length(a); ++i) {
    json_object *v = json_object_array_get_idx(a, i);
    if (!json_object_is_type(v, json_type_string)) return r.fail("aliases", "expected strings");
    s->aliases.emplace_back(json_object_get_string(v));
  }
  return true;
}

bool parse_site(json_object *obj, size_t index, Config *c, std::string *error) {
  const Reader r(obj, "domains[" + std::to_string(index) + "]", error);
  Site s;
  std::string mode = "detect";
  if (!r.object() || !r.text("host", &s.host, true) ||
      !r.number("domain_id", UINT32_MAX, &s.domain_id, true) || !r.text("policy", &s.policy) ||
      !r.text("db", &s.db) || !r.text("mode", &mode) || !parse_aliases(r, &s))
    return false;
  if (!parse_mode(mode, &s.mode)) return r.fail("mode", "expected learn, detect or block");
  s.host = traffic::normal_host(s.host);
  if (!add_host(c, s.host, index, r, "host")) return false;
  for (const std::string &alias : s.aliases)
    if (!add_host(c, alias, index, r, "aliases")) return false;
  c->sites.push_back(std::move(s));
  return true;
}

bool parse_listen(const Reader &top, Config *c, std::string *error) {
  json_object *l = top.member("listen");
  if (!l) return true;
  const Reader r(l, "listen", error);
  return r.object() && r.text("http", &c->http_listen) && r.text("spoe", &c->spoe_listen);
}

bool parse_redis(const Reader &top, Config *c, std::string *error) {
  json_object *o = top.member("redis");
  if (!o) return true;
  const Reader r(o, "redis", error);
  uint32_t port = static_cast<uint32_t>(c->redis_port);
  if (!r.object() || !r.text("host", &c->redis_host) || !r.number("port", 65535, &port))
    return false;
  c->redis_port = static_cast<int>(port);
  return true;
}

bool parse_top(json_object *root, Config *c, std::string *error) {
  const Reader r(root, "", error);
  std::string point;
  if (!r.object() || !parse_listen(r, c, error) || !parse_redis(r, c, error) ||
      !r.text("point", &point) ||
      !r.number("max_new_args_per_url", 1u << 20, &c->max_new_args_per_url) ||
      !r.number("max_new_args_per_domain", 1u << 24, &c->max_new_args_per_domain) ||
      !r.number("sample_backlog", 1u << 30, &c->sample_backlog) ||
      !r.text("sample_list", &c->sample_list) || !r.number("workers", 256, &c->workers) ||
      !r.number("cache_mib", 4096, &c->cache_mib) || !r.number("timeout_ms", 10000, &c->timeout_ms))
    return false;
  if (!point.empty() && mlv_point_parse(point.c_str(), &c->point) != 0)
    return r.fail("point", "expected definite or potential");
  json_object *d = r.member("domains");
  if (!d || !json_object_is_type(d, json_type_array)) return r.fail("domains", "expected an array");
  for (size_t i = 0; i < json_object_array_length(d); ++i)
    if (!parse_site(json_object_array_get_idx(d, i), i, c, error)) return false;
  return true;
}

}  // namespace

const Site *Config::site(std::string_view host) const {
  auto it = by_host.find(traffic::normal_host(host));
  return it == by_host.end() ? nullptr : &sites[it->second];
}

bool parse_config(std::string_view text, Config *out, std::string *error) {
  *out = Config{};
  if (text.size() > kConfigMax) {
    *error = "longer than " + std::to_string(kConfigMax) + " bytes";
    return false;
  }
  std::unique_ptr<json_tokener, decltype(&json_tokener_free)> tok(json_tokener_new(),
                                                                  json_tokener_free);
  if (!tok) {
    *error = "out of memory";
    return false;
  }
  json_ptr root(json_tokener_parse_ex(tok.get(), text.data(), static_cast<int>(text.size())));
  const json_tokener_error e = json_tokener_get_error(tok.get());
  if (!root || e != json_tokener_success) {
    *error = std::string("not JSON: ") +
             (e == json_tokener_continue ? "it ends too early" : json_tokener_error_desc(e)) +
             " near byte " + std::to_string(json_tokener_get_parse_end(tok.get()));
    return false;
  }
  return parse_top(root.get(), out, error);
}

bool load_config(const std::string &path, Config *out, std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  std::string text(kConfigMax + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (parse_config(text, out, error)) return true;
  *error = path + ": " + *error;
  return false;
}

const char *mode_name(Mode m) {
  switch (m) {
    case Mode::learn:
      return "learn";
    case Mode::detect:
      return "detect";
    default:
      return "block";
  }
}

}  // namespace gate

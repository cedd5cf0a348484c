// Verdict library: reading the argument notices the daemon publishes.
//
// The daemon prints a notice into a buffer of 1024 bytes, so a long argument
// name (or one full of control bytes, which JSON escapes six-fold) arrives
// cut: the text ends inside "argname", or inside a later key. Such a notice
// still names its domain and URL, and the name's first bytes. Dropping only
// what it may name keeps one long name from flushing every cached model of
// every domain each time it is learned.
//
// json-c does the parsing. A cut text is closed by appending a quote and a
// brace, or a brace alone, after dropping up to sixteen trailing bytes (a cut
// escape such as "\u00", a key cut in its name or before its value); the
// last key that came through may be cut, the keys before it are whole, and a
// cut name or URL is matched as a prefix, so dropping more than needed is the
// only error possible.
#include <json-c/json.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "verdict/verdict_cache.h"

namespace mlv {
namespace {

// Longest text a notice carries: the daemon writes at most 1023 bytes;
// anything far beyond is not one of its notices.
constexpr size_t kNoticeMax = 4096;
// Bytes dropped at most from a cut text before closing it: the longest
// stretch that is neither inside a value nor a whole member, ', "source": '.
constexpr size_t kMaxTrim = 16;

struct json_free {
  void operator()(json_object *o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_free>;

json_ptr parse_object(const char *text, size_t len) {
  json_tokener *tok = json_tokener_new();
  if (!tok) return nullptr;
  json_object *root = json_tokener_parse_ex(tok, text, static_cast<int>(len));
  const bool whole = root && tok->char_offset == static_cast<int>(len);
  json_tokener_free(tok);
  json_ptr p(root);
  if (!whole || !json_object_is_type(root, json_type_object)) return nullptr;
  return p;
}

// A member as text: a string with its full length (a name may hold a NUL
// byte), or a number's decimal form. False when missing or of another type.
bool member_text(json_object *root, const char *key, std::string *out) {
  json_object *v = nullptr;
  if (!json_object_object_get_ex(root, key, &v) || !v) return false;
  if (json_object_is_type(v, json_type_string)) {
    out->assign(json_object_get_string(v), static_cast<size_t>(json_object_get_string_len(v)));
    return true;
  }
  if (json_object_is_type(v, json_type_int)) {
    out->assign(std::to_string(json_object_get_int64(v)));
    return true;
  }
  return false;
}

bool has_key(json_object *root, const char *key) {
  return json_object_object_get_ex(root, key, nullptr);
}

// The fields of a parsed object; whole says whether its last member came
// through complete (the text was whole, or was closed by a brace alone).
bool fill(json_object *root, bool whole, notice *out) {
  *out = notice{};
  if (!member_text(root, "domain_name", &out->domain_name)) return false;
  const bool has_url = member_text(root, "urlid", &out->url);
  const bool has_name = has_url && member_text(root, "argname", &out->arg_name);
  // In a cut text the last key that came through may be cut itself.
  out->domain_whole = whole || has_key(root, "urlid");
  out->url_whole = has_url && (whole || has_key(root, "argname"));
  out->name_whole = has_name && (whole || has_key(root, "source"));
  out->has_url = has_url;
  out->has_name = has_name;
  if (has_url) {
    char *end = nullptr;
    const unsigned long long id = strtoull(out->url.c_str(), &end, 10);
    out->url_number =
        out->url.empty() || *end != '\0' || id > UINT32_MAX ? -1 : static_cast<int64_t>(id);
  }
  return true;
}

}  // namespace

bool decode_notice(std::string_view text, notice *out) {
  *out = notice{};
  if (text.empty() || text.size() > kNoticeMax) return false;
  if (json_ptr root = parse_object(text.data(), text.size())) return fill(root.get(), true, out);
  std::string closed;
  for (size_t cut = 0; cut <= kMaxTrim && cut < text.size(); cut++) {
    for (const char *close : {"\"}", "}"}) {
      closed.assign(text.substr(0, text.size() - cut));
      closed += close;
      if (json_ptr root = parse_object(closed.data(), closed.size()))
        return fill(root.get(), close[0] == '}', out);
    }
  }
  return false;
}

namespace {
bool text_matches(std::string_view have, const std::string &got, bool whole) {
  return whole ? have == got : have.substr(0, got.size()) == got;
}
}  // namespace

bool notice_names_domain(const notice &n, std::string_view domain_name) {
  // A domain whose name was never read cannot be ruled out.
  return domain_name.empty() || text_matches(domain_name, n.domain_name, n.domain_whole);
}

bool notice_names(const notice &n, std::string_view domain_name, uint32_t url_id,
                  std::string_view arg_name) {
  if (!notice_names_domain(n, domain_name)) return false;
  if (!n.has_url || !n.url_whole) return true;
  if (n.url_number < 0 || static_cast<uint32_t>(n.url_number) != url_id) return false;
  return !n.has_name || text_matches(arg_name, n.arg_name, n.name_whole);
}

}  // namespace mlv

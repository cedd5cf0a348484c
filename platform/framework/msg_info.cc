#include "platform/framework/msg_info.h"

#include <json-c/json.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct json_put {
  void operator()(json_object *o) const { json_object_put(o); }
};

// Reads an integer member into out when present; false for a wrong type or range.
bool int_member(json_object *obj, const char *key, int64_t lo, int64_t hi, int64_t *out,
                bool required) {
  json_object *v = nullptr;
  if (!json_object_object_get_ex(obj, key, &v) || !v) return !required;
  if (!json_object_is_type(v, json_type_int)) return false;
  errno = 0;
  int64_t n = json_object_get_int64(v);
  if (errno != 0 || n < lo || n > hi) return false;
  *out = n;
  return true;
}

bool string_member(json_object *obj, const char *key, char *out, size_t cap) {
  json_object *v = nullptr;
  if (!json_object_object_get_ex(obj, key, &v) || !v) return true;
  if (!json_object_is_type(v, json_type_string)) return false;
  // A name cut to its field would name another policy: refused instead.
  if (static_cast<size_t>(json_object_get_string_len(v)) >= cap) return false;
  snprintf(out, cap, "%s", json_object_get_string(v));
  return true;
}

}  // namespace

int mlne_get_msg_info(const char *payload, int len, mlne_msg_info *info) {
  if (!info) return -1;
  // Zeroed before any check, so a refused payload never leaves the caller's
  // earlier event behind to be acted on.
  memset(info, 0, sizeof *info);
  if (!payload || len <= 0) return -1;
  std::unique_ptr<json_tokener, decltype(&json_tokener_free)> tok(json_tokener_new(),
                                                                  json_tokener_free);
  if (!tok) return -1;
  std::unique_ptr<json_object, json_put> root(json_tokener_parse_ex(tok.get(), payload, len));
  if (!root || json_tokener_get_error(tok.get()) != json_tokener_success ||
      !json_object_is_type(root.get(), json_type_object))
    return -1;
  // The object must be the whole payload: "{...}junk" is not a message.
  for (size_t i = json_tokener_get_parse_end(tok.get()); i < static_cast<size_t>(len); i++)
    if (payload[i] != ' ' && payload[i] != '\t' && payload[i] != '\r' && payload[i] != '\n')
      return -1;
  int64_t cls = 0, action = 0, domain = 0, url = 0, arg = 0;
  if (!int_member(root.get(), "class", INT32_MIN, INT32_MAX, &cls, true) ||
      !int_member(root.get(), "action", INT32_MIN, INT32_MAX, &action, true) ||
      !int_member(root.get(), "domain_id", 0, UINT32_MAX, &domain, false) ||
      !int_member(root.get(), "url_id", 0, UINT32_MAX, &url, false) ||
      !int_member(root.get(), "arg_id", 0, UINT32_MAX, &arg, false) ||
      !string_member(root.get(), "vdom", info->vdom, sizeof info->vdom) ||
      !string_member(root.get(), "policy", info->policy_name, 64)) {
    memset(info, 0, sizeof *info);
    return -1;
  }
  info->event_class = static_cast<int32_t>(cls);
  info->event_action = static_cast<int32_t>(action);
  info->domain_id = static_cast<uint32_t>(domain);
  info->url_id = static_cast<uint32_t>(url);
  info->arg_id = static_cast<uint32_t>(arg);
  return 0;
}

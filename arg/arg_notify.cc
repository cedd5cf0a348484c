// The notification is built with json-c so that names holding quotes or
// control characters are escaped properly; keys go in a fixed order that the
// proxy's parser does not depend on but operators reading captures do.
#include "arg/arg_notify.h"

#include <json-c/json.h>

#include <cstdio>

#include "arg/domain_info.h"
#include "services/redis.h"

namespace {
constexpr size_t kTextLen = 1024;
}  // namespace

int sendmsg_proxyd_arg(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, int32_t mtype,
                       int32_t ctype) {
  domain_info dom;
  if (ml_domain_info_read(redis, domain_id, &dom) != 0 || !dom.has(domain_info::VDOM) ||
      !dom.has(domain_info::POLICY) || !dom.has(domain_info::DOMAIN))
    return -1;
  char cmd[ML_CMD_LEN];
  reply_ptr arg = redis_cmdf(redis, cmd, sizeof cmd, "HMGET arg:%d:%d arg_name urlid",
                             static_cast<int>(domain_id), static_cast<int>(arg_id));
  if (!arg || reply_elem_missing(arg.get(), 0) || reply_elem_missing(arg.get(), 1)) return -1;

  const char *domain = dom.get(domain_info::DOMAIN);
  const char *urlid = reply_elem_str(arg.get(), 1);
  const char *argname = reply_elem_str(arg.get(), 0);
  char text[kTextLen] = "";
  json_object *obj = json_object_new_object();
  if (!obj) return -1;
  json_object_object_add(obj, "mtype", json_object_new_int(mtype));
  json_object_object_add(obj, "ctype", json_object_new_int(ctype));
  json_object_object_add(obj, "adomname", json_object_new_string(dom.get(domain_info::VDOM)));
  json_object_object_add(obj, "policyname", json_object_new_string(dom.get(domain_info::POLICY)));
  json_object_object_add(obj, "domain_name", json_object_new_string(domain));
  json_object_object_add(obj, "urlid", json_object_new_string(urlid));
  // The name as stored, a NUL byte included: cut at it, the notice would
  // name another argument, or none.
  const redis_reply *name = reply_elem(arg.get(), 0);
  json_object_object_add(obj, "argname",
                         json_object_new_string_len(argname, static_cast<int>(name->len)));
  json_object_object_add(obj, "source", json_object_new_string("ml_daemon"));
  snprintf(text, sizeof text, "%s", json_object_to_json_string(obj));
  json_object_put(obj);

  if (redis_publish_event(redis, text) < 0) {
    printf("test refresh arg, domain %s url %s arg:%s from proxyd\n", domain, urlid, argname);
    return -1;
  }
  return 0;
}

// Policy loading: the SCAN walk at start, and the re-read of one policy on a
// change event.
//
// A policy lives in the hash policy:<vdom>:<name>; the key's parts are the
// policy's identity, so a part that cannot be the identity is refused rather
// than cut: a vdom of 12 or more characters or a name of 64 or more would,
// once cut to its field, name a different hash than the one that was read,
// and a part holding a blank or a tab cannot be carried as one word of a
// command line. Such keys fail with the caller's "load policy" line.
//
// A policy is taken only when its hash holds all four settings; a missing
// field leaves the table as it was (at load and at reload alike), so a
// half-written hash never becomes a policy.
#include "policy/ml_redis_conf.h"

#include <cstdio>
#include <cstring>

#include "log/ml_debug.h"
#include "platform/framework/framework.h"
#include "policy/ml_policy.h"
#include "services/redis.h"

namespace {

constexpr size_t kKeyLen = 1024;
constexpr int kActionAddOrEdit = 1;
constexpr int kActionDelete = 2;

// A vdom or policy name that fits its field and is one command word.
bool name_usable(const char *name, size_t field_size) {
  size_t n = strnlen(name, field_size);
  return n > 0 && n < field_size && !strpbrk(name, " \t");
}

// Fills a zeroed block from the reply of the four-field HMGET (elements in
// command order). False when one of the four is missing.
bool fill_policy_conf(const redis_reply *r, const char *vdom, const char *name,
                      ml_policy_conf *conf) {
  for (uint32_t i = 0; i < 4; i++)
    if (reply_elem_missing(r, i)) return false;
  memset(conf, 0, sizeof *conf);
  snprintf(conf->vdom, sizeof conf->vdom, "%s", vdom);
  snprintf(conf->policy_name, sizeof conf->policy_name, "%s", name);
  conf->sample_collecting_mode = static_cast<int32_t>(reply_elem_ll(r, 0));
  conf->hmm_engine = static_cast<int32_t>(reply_elem_ll(r, 1));
  conf->model_min_learn_time = static_cast<int32_t>(reply_elem_ll(r, 2));
  conf->sl_automatic_definitely = static_cast<int32_t>(reply_elem_ll(r, 3));
  return true;
}

}  // namespace

int ml_init_redis_config(redis_conn *redis, ml_plist *list) {
  if (nCfg_debug_zone)
    mldaemon_debug_level.store(static_cast<int32_t>(fw_debug_zone_level(nCfg_debug_zone)));
  _load_ml_policy_all(redis, list);
  _print_ml_policy_all(list);
  return 0;
}

void _load_ml_policy_all(redis_conn *redis, ml_plist *list) {
  // A failing key is reported with its place in its batch and skipped.
  redis_scan_keys(redis, "policy:*", [&](const char *key, uint32_t place) {
    char copy[kKeyLen];
    snprintf(copy, sizeof copy, "%s", key);
    if (_load_redis_config(redis, list, copy) < 0)
      printf("%d,load policy %s failed\n", static_cast<int>(place), copy);
  });
}

int _load_redis_config(redis_conn *redis, ml_plist *list, const char *key) {
  if (!key) return -1;
  char copy[kKeyLen];
  snprintf(copy, sizeof copy, "%s", key);
  char *save = nullptr;
  const char *kind = strtok_r(copy, ":", &save);
  if (!kind || strncmp(kind, "policy", 6) != 0) {
    printf("invalid policyname %s\n", kind ? kind : "");
    return -1;
  }
  const char *vdom = strtok_r(nullptr, ":", &save);
  const char *name = vdom ? strtok_r(nullptr, ":", &save) : nullptr;
  if (!vdom || !name) return -1;
  if (!name_usable(vdom, sizeof(ml_policy_conf::vdom)) ||
      !name_usable(name, sizeof(ml_policy_conf::policy_name)))
    return -1;
  if (_get_redis_config_policy(redis, list, vdom, name) != 0) {
    printf("load policy %s failed\n", key);
    return -1;
  }
  return 0;
}

int _get_redis_config_policy(redis_conn *redis, ml_plist *list, const char *vdom,
                             const char *policy_name) {
  if (!redis || !list || !vdom || !policy_name) return -1;
  char cmd[ML_CMD_LEN];
  reply_ptr r = redis_cmdf(redis, cmd, sizeof cmd,
                           "HMGET policy:%s:%s sample_collecting_mode hmm_engine "
                           "model_min_learn_time sl_automatic_definitely ",
                           vdom, policy_name);
  if (!r) {
    printf("cmd %s failed.\n", cmd);
    return -1;
  }
  ml_policy_conf conf;
  if (!fill_policy_conf(r.get(), vdom, policy_name, &conf)) return -1;
  r.reset();
  return _add_ml_policy(list, &conf);
}

int _redis_ml_policy_reload(redis_conn *redis, ml_plist *list, const char *vdom,
                            const char *policy_name, int action) {
  if (!redis || !list || !vdom || !policy_name) return 0;
  if (!name_usable(vdom, sizeof(ml_policy_conf::vdom)) ||
      !name_usable(policy_name, sizeof(ml_policy_conf::policy_name)))
    return 0;
  char cmd[ML_CMD_LEN];
  reply_ptr r = redis_cmdf(redis, cmd, sizeof cmd,
                           "HMGET policy:%s:%s sample_collecting_mode hmm_engine "
                           "model_min_learn_time sl_automatic_definitely",
                           vdom, policy_name);
  ml_policy_conf conf;
  if (!r || !fill_policy_conf(r.get(), vdom, policy_name, &conf)) return 0;
  r.reset();
  if (action == kActionDelete) {
    ML_DEBUG("Configuration policy delete.\\n");
    _del_ml_policy(list, &conf);
  } else if (action == kActionAddOrEdit) {
    ML_DEBUG("Configuration policy add.\\n");
    _add_or_edit_ml_policy(list, &conf);
  }
  _print_ml_policy_all(list);
  return 0;
}

int ml_init_is_finish() {
  ML_DEBUG("ml_daemon wait ml_init is ok\\n");
  return 1;
}

#include "policy/ml_conf_event.h"

#include <cstdio>
#include <ctime>

#include "arg/arg_tasks.h"
#include "log/ml_message.h"
#include "policy/ml_redis_conf.h"
#include "services/redis.h"

namespace {
bool negative_action(const mlne_msg_info *event) {
  if (event->event_action >= 0) return false;
  printf("ml redis unknown type in manual learn for %d\n", event->event_action);
  return true;
}

// An event about one argument must name it: a payload without its ids would
// otherwise act on arg:0:0. Id 0 is never an argument of a domain.
bool names_argument(const mlne_msg_info *event) {
  if (event->domain_id != 0 && event->arg_id != 0) return true;
  MLD_ERR(MLD_UNIT_CONF,
          "configuration event class %d action %d without domain_id and arg_id refused\n",
          event->event_class, event->event_action);
  return false;
}

// A policy event must name the policy.
bool names_policy(const mlne_msg_info *event) {
  if (event->vdom[0] && event->policy_name[0]) return true;
  MLD_ERR(MLD_UNIT_CONF, "configuration event action %d without vdom and policy refused\n",
          event->event_action);
  return false;
}
}  // namespace

int ml_redis_conf_subscribe_act(redis_conn *redis, const conf_event_ctx *ctx,
                                const redis_reply *msg) {
  if (!redis || !ctx || !msg) return -1;
  if (msg->type != ML_REDIS_ARRAY || msg->elements != 3 || reply_elem_missing(msg, 2)) return -1;
  const redis_reply *payload = reply_elem(msg, 2);
  mlne_msg_info event;
  if (mlne_get_msg_info(payload->str, static_cast<int>(payload->len), &event) < 0) {
    printf("get policy act msg failed, %s\n", payload->str);
    return -1;
  }
  if (event.event_class < 0) {
    printf("ml redis unknown type in subscribe act for %s\n", payload->str);
    return -1;
  }
  switch (event.event_class) {
    case CONF_CLASS_POLICY:
      ml_redis_conf_plicy_act(redis, ctx->policies, &event);
      break;
    case CONF_CLASS_RELEARN:
      ml_redis_relearn_arg_act(redis, &event);
      break;
    case CONF_CLASS_MANUAL:
      ml_redis_sample_exceptions_act(redis, ctx->tasks, &event);
      break;
    default:
      break;
  }
  return 0;
}

int ml_redis_conf_plicy_act(redis_conn *redis, ml_plist *policies, const mlne_msg_info *event) {
  if (!event) return -1;
  if (negative_action(event)) return -1;
  const int32_t a = event->event_action;
  const bool acts = a == CONF_POLICY_ADD || a == CONF_POLICY_EDIT || a == CONF_POLICY_DELETE;
  if (acts && !names_policy(event)) return -1;
  if (event->event_action == CONF_POLICY_ADD || event->event_action == CONF_POLICY_EDIT)
    _redis_ml_policy_reload(redis, policies, event->vdom, event->policy_name, 1);
  else if (event->event_action == CONF_POLICY_DELETE)
    _redis_ml_policy_reload(redis, policies, event->vdom, event->policy_name, 2);
  return 0;
}

int ml_redis_relearn_arg_act(redis_conn *redis, const mlne_msg_info *event) {
  if (!event) return -1;
  if (negative_action(event)) return -1;
  if (event->event_action == CONF_RELEARN && !names_argument(event)) return -1;
  if (event->event_action == CONF_RELEARN)
    ml_set_arg_relearn(redis, event->domain_id, event->arg_id);
  return 0;
}

int ml_redis_sample_exceptions_act(redis_conn *redis, math_task_array *tasks,
                                   const mlne_msg_info *event) {
  if (!event) return -1;
  if (negative_action(event)) return -1;
  if (event->event_action == CONF_MANUAL_LEARN && !names_argument(event)) return -1;
  // Each daemon sharing this Redis hears the request: the claim in
  // ml_add_manual_task lets one of them build.
  if (event->event_action == CONF_MANUAL_LEARN)
    ml_add_manual_task(redis, tasks, event->domain_id, event->arg_id);
  return 0;
}

int ml_set_arg_relearn(redis_conn *redis, uint32_t domain_id, uint32_t arg_id) {
  char cmd[ML_CMD_LEN];
  reply_ptr r = redis_cmdf(redis, cmd, sizeof cmd,
                           "HMSET arg:%d:%d arg_learn_stat %d events 0 start_time %ld normalcount "
                           "0 anomaly_cnt 0 abnormalcount 0 ",
                           static_cast<int>(domain_id), static_cast<int>(arg_id), 1,
                           static_cast<long>(time(nullptr)));
  return r ? 0 : -1;
}

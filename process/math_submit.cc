#include "process/math_submit.h"

#include <cstdio>
#include <cstring>

#include "log/ml_message.h"
#include "model/math_task.h"
#include "process/arg_notify.h"
#include "services/redis.h"

namespace {
constexpr size_t kCmdLen = 1024;
}

int sub_task_for_math_model(const ml_arg_id *id, const char *dbname, uint32_t type) {
  if (!id || !dbname || !*dbname) return -1;
  math_task task{};
  task.dbid = id->domain_id;
  task.argid = id->arg_id;
  task.urlid = id->url_id;
  task.type = type;
  snprintf(task.mysql_dbname, sizeof task.mysql_dbname, "%s", dbname);
  MLD_MSG(MLD_TRACE, "ml_sample_process",
          "Adding a math task: mysql_dbname:%s, dbid:%d, urlid:%d, argid:%d, type:%d", dbname,
          static_cast<int>(task.dbid), static_cast<int>(task.urlid), static_cast<int>(task.argid),
          static_cast<int>(type));
  return ml_add_math_task(&task) == 0 ? 0 : -1;
}

int ml_add_manual_task(redis_conn *redis, uint32_t domain_id, uint32_t arg_id) {
  char cmd[kCmdLen];
  reply_ptr dom = redis_cmdf(redis, cmd, sizeof cmd, "HMGET domain_info:%d mysql_dbname",
                             static_cast<int>(domain_id));
  if (!dom || reply_elem_missing(dom.get(), 0)) return -1;
  char dbname[65];
  snprintf(dbname, sizeof dbname, "%s", reply_elem_str(dom.get(), 0));
  dom.reset();

  reply_ptr arg = redis_cmdf(redis, cmd, sizeof cmd, "HMGET arg:%d:%d urlid",
                             static_cast<int>(domain_id), static_cast<int>(arg_id));
  if (!arg || reply_elem_missing(arg.get(), 0)) return -1;
  const ml_arg_id id{domain_id, static_cast<uint32_t>(reply_elem_ll(arg.get(), 0)), arg_id};
  arg.reset();

  if (set_arg_stat(&id, redis, ARG_STAT_BUILDING, ARG_EVENT_NONE) != 0) {
    MLD_ERR("ml_sample_process", "set arg building failed\n");
    return -1;
  }
  if (sendmsg_proxyd_arg(redis, domain_id, arg_id, NOTICE_BUILDING_MTYPE, NOTICE_BUILDING_CTYPE) !=
      0) {
    MLD_ERR("ml_sample_process", "send arg building msg failed\n");
    return -1;
  }
  if (sub_task_for_math_model(&id, dbname, MATH_TASK_MANUAL) != 0) {
    ML_DEBUG("sub_task_for_math_model failed");
    return -1;
  }
  return 0;
}

#include "arg/arg_tasks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "arg/arg_notify.h"
#include "arg/domain_info.h"
#include "log/ml_debug.h"
#include "log/ml_message.h"
#include "services/mldb.h"
#include "services/redis.h"

namespace {

math_task make_task(const ml_arg_id *id, const char *dbname, uint32_t type) {
  math_task task{};
  task.dbid = id->domain_id;
  task.argid = id->arg_id;
  task.urlid = id->url_id;
  task.type = type;
  snprintf(task.mysql_dbname, sizeof task.mysql_dbname, "%s", dbname);
  return task;
}
}  // namespace

int sub_task_for_math_model(math_task_array *tasks, const ml_arg_id *id, const char *dbname,
                            uint32_t type) {
  if (!tasks || !id || !dbname || !*dbname) return -1;
  const math_task task = make_task(id, dbname, type);
  MLD_MSG(MLD_TRACE, MLD_UNIT_PROCESS,
          "Adding a math task: mysql_dbname:%s, dbid:%d, urlid:%d, argid:%d, type:%d", dbname,
          static_cast<int>(task.dbid), static_cast<int>(task.urlid), static_cast<int>(task.argid),
          static_cast<int>(type));
  return ml_add_math_task(tasks, &task) == 0 ? 0 : -1;
}

int ml_arg_to_building(redis_conn *redis, math_task_array *tasks, const ml_arg_id *id,
                       const char *dbname, uint32_t type, const char *op) {
  if (!id) return -1;
  // Every daemon sharing this Redis may take this step for the argument:
  // only the one whose script moves it goes on.
  const int moved = type == MATH_TASK_MANUAL
                        ? arg_claim_building(redis, id->domain_id, id->arg_id, arg_claim::manual)
                        : arg_state_advance(redis, id, ARG_STAT_BUILDING, ARG_EVENT_NONE);
  if (moved < 0) {
    MLD_ERR(MLD_UNIT_PROCESS, "set arg building failed\n");
    return -1;
  }
  if (moved == 0) {
    ML_DEBUG_AS(op, "arg %d is taken by another daemon", static_cast<int>(id->arg_id));
    return 1;
  }
  if (sendmsg_proxyd_arg(redis, id->domain_id, id->arg_id, NOTICE_BUILDING_MTYPE,
                         NOTICE_BUILDING_CTYPE) != 0) {
    MLD_ERR(MLD_UNIT_PROCESS, "send arg building msg failed\n");
    return -1;
  }
  if (sub_task_for_math_model(tasks, id, dbname, type) != 0) {
    ML_DEBUG_AS(op, "sub_task_for_math_model failed");
    return -1;
  }
  return 0;
}

int ml_add_manual_task(redis_conn *redis, math_task_array *tasks, uint32_t domain_id,
                       uint32_t arg_id) {
  char dbname[ML_DBNAME_LEN + 1];
  if (ml_domain_dbname(redis, domain_id, dbname) != 0) return -1;
  char cmd[ML_CMD_LEN];
  reply_ptr arg = redis_cmdf(redis, cmd, sizeof cmd, "HMGET arg:%d:%d urlid",
                             static_cast<int>(domain_id), static_cast<int>(arg_id));
  if (!arg || reply_elem_missing(arg.get(), 0)) return -1;
  const ml_arg_id id{domain_id, static_cast<uint32_t>(reply_elem_ll(arg.get(), 0)), arg_id};
  arg.reset();
  return ml_arg_to_building(redis, tasks, &id, dbname, MATH_TASK_MANUAL, __func__);
}

int _get_redis_arg_task(redis_conn *redis, math_task_array *tasks, uint32_t domain_id,
                        uint32_t arg_id, const char *mysql_dbname) {
  if (!redis || !mysql_dbname || !*mysql_dbname) return -1;
  char cmd[ML_CMD_LEN];
  reply_ptr r = redis_cmdf(redis, cmd, sizeof cmd, "HMGET arg:%d:%d arg_learn_stat events urlid",
                           static_cast<int>(domain_id), static_cast<int>(arg_id));
  if (!r) return -1;
  for (uint32_t i = 0; i < 3; i++)
    if (reply_elem_missing(r.get(), i)) return -1;
  const long long state = reply_elem_ll(r.get(), 0);
  if (state != ARG_STAT_BUILDING || reply_elem_ll(r.get(), 1) != ARG_EVENT_NONE) return 0;
  // Its builder may be another daemon still at work.
  const int claimed = arg_claim_building(redis, domain_id, arg_id, arg_claim::startup);
  if (claimed <= 0) return claimed;
  ML_DEBUG("get a task from redis db %d, arg_id:%d", static_cast<int>(state),
           static_cast<int>(arg_id));
  const ml_arg_id id{domain_id, static_cast<uint32_t>(reply_elem_ll(r.get(), 2)), arg_id};
  const math_task task = make_task(&id, mysql_dbname, MATH_TASK_AUTO);
  return ml_add_math_task(tasks, &task) == 0 ? 0 : -1;
}

int _load_redis_args(redis_conn *redis, math_task_array *tasks, uint32_t domain_id) {
  if (!redis) return -1;
  domain_info dom;
  if (ml_domain_info_read(redis, domain_id, &dom) != 0) return -1;
  for (uint32_t f = domain_info::VDOM; f <= domain_info::DBNAME; f++)
    if (!dom.has(static_cast<domain_info::field>(f))) return -1;
  if (!ml_domain_dbname_usable(domain_id, dom.get(domain_info::DBNAME))) return -1;
  char dbname[ML_DBNAME_LEN + 1];
  snprintf(dbname, sizeof dbname, "%s", dom.get(domain_info::DBNAME));
  dom.reply.reset();

  char pattern[64];
  snprintf(pattern, sizeof pattern, "arg:%d:*", static_cast<int>(domain_id));
  redis_scan_keys(redis, pattern, [&](const char *key, uint32_t) {
    const char *colon = strrchr(key, ':');
    if (!colon || !colon[1]) {
      printf("get arg %s failed\n", key);
      return;
    }
    const uint32_t arg_id = static_cast<uint32_t>(strtoul(colon + 1, nullptr, 10));
    if (_get_redis_arg_task(redis, tasks, domain_id, arg_id, dbname) < 0)
      printf("load arg %s failed\n", key);
  });
  return 0;
}

int ml_init_math_task_list(math_task_array *tasks, redis_conn *redis,
                           pthread_mutex_t *connect_lock) {
  if (!redis || !tasks) return -1;
  // Holds start-up until the learning database accepts connections; the
  // object runs no statement.
  ml_db_obj db;
  init_ml_db_obj(&db);
  ml_db_connect_retry(&db, connect_lock, nullptr, __func__);
  if (ml_math_task_list_init(tasks) != 0) {
    db.db_close(&db);
    return -1;
  }
  char cmd[ML_CMD_LEN];
  reply_ptr domains = redis_cmdf(redis, cmd, sizeof cmd, "HVALS domains");
  for (uint32_t i = 0; domains && domains->type == ML_REDIS_ARRAY && i < domains->elements; i++) {
    if (reply_elem_missing(domains.get(), i)) continue;
    const auto domain_id = static_cast<uint32_t>(reply_elem_ll(domains.get(), i));
    if (_load_redis_args(redis, tasks, domain_id) != 0) puts("load domains failed");
  }
  db.db_close(&db);
  return 0;
}

int ml_adopt_orphan_tasks(redis_conn *redis, math_task_array *tasks) {
  reply_ptr taken = arg_adopt_orphans(redis);
  if (!taken) return -1;
  int queued = 0;
  for (uint32_t i = 0; i < taken->elements; i++) {
    const char *name = reply_elem_str(taken.get(), i);
    const uint32_t domain_id = static_cast<uint32_t>(strtoul(name, nullptr, 10));
    const char *colon = strchr(name, ':');
    if (!colon) continue;
    const uint32_t arg_id = static_cast<uint32_t>(strtoul(colon + 1, nullptr, 10));
    char dbname[ML_DBNAME_LEN + 1];
    if (ml_domain_dbname(redis, domain_id, dbname) == 0 &&
        _get_redis_arg_task(redis, tasks, domain_id, arg_id, dbname) == 0) {
      ML_DEBUG("arg %s taken over from a daemon that is gone", name);
      queued++;
    }
  }
  return queued;
}

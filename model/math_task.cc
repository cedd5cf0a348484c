// Math task list: a FIFO of at most MATH_TASK_MAX tasks between the producers
// (processing threads, the main thread's manual learning) and the math model
// threads. task_lock is held only while linking, unlinking and counting; the
// task is copied into its node before the lock is taken.
#include "model/math_task.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "daemon/global_data.h"
#include "log/ml_debug.h"
#include "services/mldb.h"
#include "services/redis.h"

namespace {

constexpr size_t kCmdLen = 1024;
constexpr size_t kKeyLen = 1024;

}  // namespace

int _get_redis_arg_task(redis_conn *redis, uint32_t domain_id, uint32_t arg_id,
                        const char *mysql_dbname) {
  if (!redis || !mysql_dbname || !*mysql_dbname) return -1;
  char cmd[kCmdLen];
  reply_ptr r = redis_cmdf(redis, cmd, sizeof cmd, "HMGET arg:%d:%d arg_learn_stat events urlid",
                           static_cast<int>(domain_id), static_cast<int>(arg_id));
  if (!r) return -1;
  for (uint32_t i = 0; i < 3; i++)
    if (reply_elem_missing(r.get(), i)) return -1;
  const long long state = reply_elem_ll(r.get(), 0);
  if (state != 2 || reply_elem_ll(r.get(), 1) != 0) return 0;
  ML_DEBUG("get a task from redis db %d, arg_id:%d", static_cast<int>(state),
           static_cast<int>(arg_id));
  math_task task{};
  task.dbid = domain_id;
  task.argid = arg_id;
  task.urlid = static_cast<uint32_t>(reply_elem_ll(r.get(), 2));
  task.type = MATH_TASK_AUTO;
  snprintf(task.mysql_dbname, sizeof task.mysql_dbname, "%s", mysql_dbname);
  return ml_add_math_task(&task) == 0 ? 0 : -1;
}

int _load_redis_args(redis_conn *redis, uint32_t domain_id) {
  if (!redis) return -1;
  char cmd[kCmdLen];
  reply_ptr dom = redis_cmdf(redis, cmd, sizeof cmd,
                             "HMGET domain_info:%d adomname policy_name domain mysql_dbname",
                             static_cast<int>(domain_id));
  if (!dom) return -1;
  for (uint32_t i = 0; i < 4; i++)
    if (reply_elem_missing(dom.get(), i)) return -1;
  char dbname[65];
  snprintf(dbname, sizeof dbname, "%s", reply_elem_str(dom.get(), 3));
  dom.reset();

  long long cursor = 0;
  do {
    reply_ptr r = redis_cmdf(redis, cmd, sizeof cmd, "SCAN %d match arg:%d:* count 100",
                             static_cast<int>(cursor), static_cast<int>(domain_id));
    if (!r || reply_elem_missing(r.get(), 0)) return 0;
    cursor = reply_elem_ll(r.get(), 0);
    const redis_reply *keys = reply_elem(r.get(), 1);
    for (uint32_t i = 0; keys && keys->type == ML_REDIS_ARRAY && i < keys->elements; i++) {
      if (reply_elem_missing(keys, i)) continue;
      char key[kKeyLen];
      snprintf(key, sizeof key, "%s", reply_elem_str(keys, i));
      const char *colon = strrchr(key, ':');
      if (!colon || !colon[1]) {
        printf("get arg %s failed\n", key);
        continue;
      }
      const uint32_t arg_id = static_cast<uint32_t>(strtoul(colon + 1, nullptr, 10));
      if (_get_redis_arg_task(redis, domain_id, arg_id, dbname) < 0)
        printf("load arg %s failed\n", key);
    }
  } while (cursor != 0);
  return 0;
}

int ml_init_math_task_list(redis_conn *redis) {
  if (!redis || !g_data) return -1;
  // Holds start-up until the learning database accepts connections; the
  // object runs no statement.
  ml_db_obj db;
  init_ml_db_obj(&db);
  ml_db_connect_retry(&db);
  math_task_array *ta = &g_data->task_array;
  ta->list = static_cast<task_list *>(calloc(1, sizeof(task_list)));
  if (!ta->list) {
    ML_DEBUG("alloc task array memory failed");
    db.db_close(&db);
    return -1;
  }
  ta->task_count = 0;
  pthread_mutex_init(&ta->task_lock, nullptr);

  char cmd[kCmdLen];
  reply_ptr domains = redis_cmdf(redis, cmd, sizeof cmd, "HVALS domains");
  for (uint32_t i = 0; domains && domains->type == ML_REDIS_ARRAY && i < domains->elements; i++) {
    if (reply_elem_missing(domains.get(), i)) continue;
    const auto domain_id = static_cast<uint32_t>(reply_elem_ll(domains.get(), i));
    if (_load_redis_args(redis, domain_id) != 0) puts("load domains failed");
  }
  db.db_close(&db);
  return 0;
}

int ml_add_math_task(const math_task *task) {
  if (!task || !g_data || !g_data->task_array.list) return -1;
  auto *node = static_cast<task_node *>(malloc(sizeof(task_node)));
  if (!node) {
    ML_DEBUG("malloc failed");
    return -1;
  }
  node->task = *task;
  node->next = nullptr;
  math_task_array *ta = &g_data->task_array;
  int r = 0;
  pthread_mutex_lock(&ta->task_lock);
  task_list *l = ta->list;
  if (ta->task_count >= MATH_TASK_MAX) {
    ML_DEBUG("%d : too many tasks", static_cast<int>(ta->task_count));
    r = -2;
  } else if (l->head && !l->tail) {
    ML_DEBUG("Invalid task_array tail");
    r = -1;
  } else {
    if (l->head)
      l->tail->next = node;
    else
      l->head = node;
    l->tail = node;
    ta->task_count++;
  }
  pthread_mutex_unlock(&ta->task_lock);
  if (r != 0) free(node);
  return r;
}

int ml_get_math_task(math_task *out) {
  if (!out || !g_data || !g_data->task_array.list) return -1;
  math_task_array *ta = &g_data->task_array;
  pthread_mutex_lock(&ta->task_lock);
  task_node *node = ta->list->head;
  if (node) {
    ta->list->head = node->next;
    if (!node->next) ta->list->tail = nullptr;
    ta->task_count--;
  }
  pthread_mutex_unlock(&ta->task_lock);
  if (!node) return -2;
  *out = node->task;
  free(node);
  return 0;
}

// Math model threads.
//
// A thread's Redis connection, database object, task record, sample list
// and model reference are its own; the threads share only the math task
// list (locked inside ml_get_math_task) and db_connect_lock. The stop flag
// is tested between tasks: a task taken is carried to its end first.
// The model reference is cleared after every task, so a model is released
// exactly once whatever path the task took.
#include "model/math_model_thread.h"

#include <mysql.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "arg/arg_notify.h"
#include "arg/arg_state.h"
#include "log/ml_debug.h"
#include "model/model_stats.h"
#include "model/model_store.h"
#include "model/training_samples.h"
#include "services/mldb.h"
#include "services/redis.h"
#include "services/threads.h"
#include "tasks/math_task.h"

thread_local redis_conn *math_dbobj = nullptr;

namespace {

// Longest wait on an empty task list before the stop flag is looked at again
// (the stop sequence also wakes the wait at once).
constexpr int kEmptyListWaitMs = 100;

// Builds and stores the model of one task. 0 done; -1 failed (the model
// reference may hold a model for the caller to release).
int build_model(redis_conn *redis, ml_db_obj *db, const math_task *task, ml_sample_list *list,
                ml_hmm_model **model) {
  if (mm_check_arg(redis, task->dbid, task->argid, ARG_STAT_BUILDING) != 0) return -1;
  if (mm_get_sample(redis, task->dbid, db, task->mysql_dbname, task->argid, list) != 0) return -1;
  if (ml_train_hmm_model(model, list, ML_HMM_STATES) != 0) return -1;
  for (int i = 0; i < list->count; i++) {
    ml_sample_item &it = list->items[i];
    double p = 0.0;
    if (ml_hmm_calc_prob_by_seq(*model, it.sequence, it.sequence_len, &p) == 0)
      it.pattern_probability = p;
  }
  mm_calc_mean(list, *model);
  return mm_write_to_db(db, redis, task->mysql_dbname, task->dbid, task->argid, list, *model, task);
}

}  // namespace

int mm_check_arg(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, int32_t state) {
  return arg_state_check(redis, domain_id, arg_id, state, ARG_EVENT_NONE, false, __func__);
}

void mm_free_sample_list(ml_sample_list *list) {
  if (!list) return;
  ml_free_sample_items(list);
  memset(list, 0, sizeof *list);
}

void mm_failed(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, ml_hmm_model *model,
               ml_sample_list *list) {
  mm_write_to_db_arg_status(redis, domain_id, arg_id, ARG_STAT_DISCARDED, ARG_EVENT_DISCARD);
  if (sendmsg_proxyd_arg(redis, domain_id, arg_id, NOTICE_DISCARD_MTYPE, NOTICE_DISCARD_CTYPE) < 0)
    puts("mm_sendmsg_proxyd_arg in mm_failed failed.");
  if (model) ml_hmm_free(model);
  mm_free_sample_list(list);
}

void *math_model_thread_run(void *slot) {
  const auto *arg = thread_slot_arg<const math_thread_arg>(slot);
  if (!arg || !arg->tasks || !arg->stop_flag) return nullptr;
  math_dbobj = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  if (!math_dbobj) {
    puts("math thread redis connect failed.");
    return nullptr;
  }
  ml_db_obj db;
  init_ml_db_obj(&db);
  if (ml_db_connect_retry(&db, arg->db_connect_lock, arg->stop_flag, __func__) != 0) {
    mysql_thread_end();
    return nullptr;
  }
  ml_sample_list list{};
  ml_hmm_model *model = nullptr;
  while (arg->stop_flag->load(std::memory_order_relaxed) == 0) {
    math_task task;
    const int got = ml_wait_math_task(arg->tasks, &task, kEmptyListWaitMs);
    if (got == -2) continue;
    if (got != 0) continue;
    // Another daemon sharing this Redis took the argument over (this one
    // was thought gone): its build is that daemon's, and nothing is undone.
    if (arg_built_elsewhere(math_dbobj, task.dbid, task.argid) == 1) {
      ML_DEBUG("arg %d is built by another daemon; task dropped", static_cast<int>(task.argid));
      continue;
    }
    ML_DEBUG("Start to generate math models...\\n");
    if (build_model(math_dbobj, &db, &task, &list, &model) == 0) {
      ML_DEBUG("Successfully generating math models...\\n");
      if (sendmsg_proxyd_arg(math_dbobj, task.dbid, task.argid, NOTICE_READY_MTYPE,
                             NOTICE_READY_CTYPE) < 0)
        puts("mm_sendmsg_proxyd_arg failed.");
      ml_hmm_free(model);
      mm_free_sample_list(&list);
    } else {
      mm_failed(math_dbobj, task.dbid, task.argid, model, &list);
    }
    model = nullptr;
  }
  db.db_close(&db);
  mysql_thread_end();
  return nullptr;
}

// Sample processing threads.
//
// Each turn of the loop takes what the bucket holds, up to a batch
// (process_sample_batch); an empty bucket is waited on (the receive thread
// wakes the wait when it appends). While the learning
// database cannot be reached the thread takes no sample, so they wait in its
// bucket rather than fail one by one. process_sample stores the value and its
// pattern in one transaction that spans just the two inserts; the Redis counter and state writes
// come after the commit and are not undone by a later failure. A commit that fails leaves the
// sample uncounted: normalcount then only counts samples that really are in the database.
#include "process/ml_sample_process.h"

#include <mysql.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "arg/arg_notify.h"
#include "arg/arg_state.h"
#include "arg/arg_tasks.h"
#include "arg/domain_info.h"
#include "log/ml_debug.h"
#include "log/ml_message.h"
#include "policy/ml_policy.h"
#include "process/readiness.h"
#include "process/sample_batch.h"
#include "process/sample_store.h"
#include "services/mldb.h"
#include "services/redis.h"
#include "services/threads.h"

thread_local redis_conn *process_dbobj = nullptr;

namespace {

constexpr const char *kUnit = MLD_UNIT_PROCESS;
constexpr const char *kProcessSample = ML_OP_PROCESS_SAMPLE;
constexpr const char *kProcessLoop = ML_OP_PROCESS_LOOP;
// Longest wait on an empty bucket before the stop flag is looked at again
// (the stop sequence also wakes the wait at once).
constexpr int kEmptyBucketWaitMs = 100;
// While the database is unreachable the thread takes no sample: they wait in
// its bucket (whose bound still holds) and it tries again this much later.
constexpr useconds_t kDatabaseDownPauseUs = 100000;

// The two inserts in one transaction. 0 stored, 1 skipped (pattern cap), -1 failed.
int store_sample(ml_db_obj *db, const stored_sample *s, const char *dbname,
                 const sample_table_names *names) {
  if (db->db_begin_trans(db) != 0) {
    ML_DEBUG_AS(kProcessSample, "db_begin_trans failed");
    return -1;
  }
  int r = insert_sample(db, s, dbname, names);
  if (r == 0 && insert_sample_temp(db, s, dbname, names) != 0) {
    ML_DEBUG_AS(kProcessSample, "insert_sample_temp failed");
    db->db_rollback(db);
    return -1;
  }
  if (r != 0 && r != 1) {
    ML_DEBUG_AS(kProcessSample, "insert_sample failed");
    db->db_rollback(db);
    return -1;
  }
  if (db->db_commit(db) != 0) {
    ML_DEBUG_AS(kProcessSample, "db_commit failed");
    db->db_rollback(db);
    return -1;
  }
  return r;
}

// Generalises, escapes and stores one sample of normal length. 0 stored,
// 1 skipped by the pattern cap, -1 failed (after its line).
int store_value(const sample_msg *msg, ml_db_obj *db, const char *dbname,
                const sample_table_names *names) {
  char pattern[257];
  if (get_hmm_gen_str(msg, pattern, sizeof pattern) != 0) {
    MLD_ERR(kUnit, "get_hmm_gen_str failed\n");
    return -1;
  }
  // Escaping needs the connection (its character set); one lost earlier is
  // reopened here, under the connect lock, rather than by the transaction
  // below; a failure reads as the thread's connect line.
  if (mldb_ready(db) != 0) {
    ML_DEBUG_AS(kProcessLoop, "Connect database failed");
    return -1;
  }
  stored_sample s;
  if (prepare_sample(msg, db, pattern, &s) != 0) return -1;
  return store_sample(db, &s, dbname, names);
}

// Counts a stored sample and takes the readiness decision. 0, or -1 after
// the failing step's line.
int count_and_judge(const ml_arg_id *id, const process_env *env, const domain_info &dom,
                    const char *dbname, int stored) {
  int result = 0;
  if (stored == 0) {
    result = ml_redis_update_sample_count(id, env->redis, 0);
    if (result != 0) {
      ML_DEBUG_AS(kProcessSample, "update redis sample count failed");
      return -1;
    }
  }
  // The domain record read for the database name also names the policy.
  ml_policy_conf policy;
  const bool governed = ml_domain_policy_of(dom, env->policies, &policy) == 1;
  if (arg_sample_ready_under(id, env->redis, governed ? &policy : nullptr) == 1) {
    const int judged = judge_ready_arg(id, env, dbname);
    if (judged != 0) return judged < 0 ? -1 : 0;
    result = 0;
  }
  MLD_MSG(MLD_TRACE, kUnit, "insert sample result :%d\n", result);
  return 0;
}

// One sample taken from the bucket: checked, then processed.
void handle_node(const sample_node *node, const process_env *env) {
  // The receive thread queues only whole 1048-byte messages.
  sample_msg msg;
  memcpy(&msg, node->data, sizeof msg);
  if (check_sample(&msg, env->db, env->redis) != 0) {
    MLD_MSG(MLD_INFO, kUnit, "check sample failed\n");
    return;
  }
  MLD_MSG(MLD_TRACE, kUnit, "check sample success\n");
  int r = process_sample(&msg, env);
  MLD_MSG(MLD_TRACE, kUnit, "process sample result:%d\n", r);
  if (r < 0) ML_DEBUG_AS(kProcessLoop, "Process sample failed");
}

// A batch that failed wrote nothing. When the database went away under it,
// its samples wait with the thread until the server is back and the batch
// runs again, as queued samples wait in their bucket; otherwise (or at stop)
// the caller processes them one at a time, each with its own line if it
// fails again. 0 done, -1 for the caller to go one by one.
int process_batch_or_each(sample_node *const *nodes, uint32_t n, const process_env *env,
                          const std::atomic<uint32_t> *stop) {
  if (process_sample_batch(nodes, n, env) == 0) return 0;
  bool waited = false;
  while (stop->load(std::memory_order_relaxed) == 0 && mldb_ready(env->db) != 0) {
    usleep(kDatabaseDownPauseUs);
    waited = true;
  }
  if (!waited || stop->load(std::memory_order_relaxed) != 0) return -1;
  return process_sample_batch(nodes, n, env);
}

}  // namespace

int judge_ready_arg(const ml_arg_id *id, const process_env *env, const char *dbname) {
  if (check_arg_discard(id, env->redis) == 1) {
    // Taken on the server: of daemons sharing this Redis, one discards.
    const int moved = arg_state_advance(env->redis, id, ARG_STAT_DISCARDED, ARG_EVENT_DISCARD);
    if (moved < 0) {
      MLD_ERR(kUnit, "set arg discard failed\n");
      return -1;
    }
    if (moved == 0) return 1;
    if (sendmsg_proxyd_arg(env->redis, id->domain_id, id->arg_id, NOTICE_DISCARD_MTYPE,
                           NOTICE_DISCARD_CTYPE) != 0) {
      MLD_ERR(kUnit, "send arg building msg failed\n");
      return -1;
    }
    return 1;
  }
  return ml_arg_to_building(env->redis, env->tasks, id, dbname, MATH_TASK_AUTO, kProcessSample);
}

int check_sample(const sample_msg *msg, ml_db_obj *db, redis_conn *redis) {
  if (!msg || !db || !redis) return -1;
  if (msg->arg_len > SAMPLE_ARG_LEN_MAX || msg->arg_real_len == 0) {
    MLD_ERR(kUnit, "Invalid argument length arg_len=%d,arg_real_len=%d\n",
            static_cast<int>(msg->arg_len), static_cast<int>(msg->arg_real_len));
    return -1;
  }
  const ml_arg_id id{msg->domain_id, msg->url_id, msg->arg_id};
  return check_arg_stat(&id, redis, ARG_STAT_COLLECTING, ARG_EVENT_NONE);
}

int process_sample(const sample_msg *msg, const process_env *env) {
  if (!msg || !env || !env->db || !env->redis) return -1;
  const ml_arg_id id{msg->domain_id, msg->url_id, msg->arg_id};
  domain_info dom;
  char dbname[ML_DBNAME_LEN + 1];
  if (ml_domain_info_read(env->redis, msg->domain_id, &dom) != 0 ||
      ml_domain_dbname_of(dom, msg->domain_id, dbname) != 0)
    return -1;
  sample_table_names names{};
  get_sample_table_names(static_cast<int>(msg->arg_id), names.name0, names.name1, names.name2);
  MLD_MSG(MLD_TRACE, kUnit, "check arg:%d length %d, checked:%d\n", static_cast<int>(msg->arg_id),
          static_cast<int>(msg->arg_real_len), names.count);

  if (msg->arg_real_len > SAMPLE_REAL_LEN_MAX) {
    if (ml_redis_update_sample_count(&id, env->redis, 1) != 0) {
      ML_DEBUG("update redis sample invalid count failed");
      return -1;
    }
    return 0;
  }
  const int stored = store_value(msg, env->db, dbname, &names);
  if (stored < 0) return -1;
  return count_and_judge(&id, env, dom, dbname, stored);
}

int sample_process_loop(process_thread_arg *arg) {
  if (!arg || !arg->buckets || !arg->stop_flag) return -1;
  process_dbobj = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  if (!process_dbobj) {
    puts("process thread redisconn connect failed.");
    return -1;
  }
  if (arg->index < 0 || static_cast<uint32_t>(arg->index) >= arg->buckets->bucket_count) {
    ML_DEBUG("Invalid index %d", arg->index);
    return -1;
  }
  ml_db_obj db;
  init_ml_db_obj(&db);
  if (ml_db_connect_retry(&db, arg->db_connect_lock, arg->stop_flag, __func__) != 0) return -1;
  const process_env env{&db, process_dbobj, arg->policies, arg->tasks};
  while (arg->stop_flag->load(std::memory_order_relaxed) == 0) {
    if (mldb_ready(&db) != 0) {
      usleep(kDatabaseDownPauseUs);
      continue;
    }
    sample_node *nodes[SAMPLE_BATCH_MAX];
    const uint32_t n = wait_samples(arg->buckets, static_cast<uint32_t>(arg->index),
                                    kEmptyBucketWaitMs, nodes, SAMPLE_BATCH_MAX);
    if (n > 0 && process_batch_or_each(nodes, n, &env, arg->stop_flag) != 0)
      for (uint32_t i = 0; i < n; i++) handle_node(nodes[i], &env);
    for (uint32_t i = 0; i < n; i++) free_msg_node(nodes[i]);
  }
  db.db_close(&db);
  return -1;
}

void *sample_process_thread_run(void *slot) {
  if (!slot) {
    ML_DEBUG("can not get thread_t");
    return nullptr;
  }
  sample_process_loop(thread_slot_arg<process_thread_arg>(slot));
  return nullptr;
}

// Sample processing threads.
//
// One sample is handled per turn of the loop; the thread sleeps (10 ms) only
// when its bucket is empty. process_sample stores the value and its pattern
// in one transaction that spans just the two inserts; the Redis counter and
// state writes come after the commit and are not undone by a later failure.
// A commit that fails leaves the sample uncounted: normalcount then only
// counts samples that really are in the database.
#include "process/ml_sample_process.h"

#include <mysql.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "daemon/global_data.h"
#include "log/ml_message.h"
#include "model/math_task.h"
#include "process/arg_notify.h"
#include "process/arg_state.h"
#include "process/math_submit.h"
#include "process/readiness.h"
#include "process/sample_store.h"
#include "services/mldb.h"
#include "services/redis.h"

thread_local redis_conn *process_dbobj = nullptr;

namespace {

constexpr const char *kUnit = "ml_sample_process";
constexpr size_t kCmdLen = 1024;
constexpr uint32_t kArgLenMax = 1025;  // value bytes a sample may carry
constexpr uint32_t kRealLenMax = 256;  // longer values only count as abnormal
constexpr size_t kEscapedMax = 1024;

// The domain's learning database name (at most 64 characters); -1 when absent.
int read_dbname(redis_conn *redis, uint32_t domain_id, char (&dbname)[65]) {
  char cmd[kCmdLen];
  reply_ptr r = redis_cmdf(redis, cmd, sizeof cmd, "HMGET domain_info:%d mysql_dbname",
                           static_cast<int>(domain_id));
  if (!r || reply_elem_missing(r.get(), 0)) return -1;
  snprintf(dbname, sizeof dbname, "%s", reply_elem_str(r.get(), 0));
  return 0;
}

// The two inserts in one transaction. 0 stored, 1 skipped (pattern cap), -1 failed.
int store_sample(ml_db_obj *db, const stored_sample *s, const char *dbname,
                 const sample_table_names *names) {
  if (db->db_begin_trans(db) != 0) {
    ML_DEBUG("db_begin_trans failed");
    return -1;
  }
  int r = insert_sample(db, s, dbname, names);
  if (r == 0 && insert_sample_temp(db, s, dbname, names) != 0) {
    ML_DEBUG("insert_sample_temp failed");
    db->db_rollback(db);
    return -1;
  }
  if (r != 0 && r != 1) {
    ML_DEBUG("insert_sample failed");
    db->db_rollback(db);
    return -1;
  }
  if (db->db_commit(db) != 0) {
    ML_DEBUG("db_commit failed");
    db->db_rollback(db);
    return -1;
  }
  return r;
}

// A ready argument: discarded with its notice (1), or moved to building with
// its notice and an automatic task (0); -1 after the failing step's line.
int judge_ready_arg(const ml_arg_id *id, redis_conn *redis, const char *dbname) {
  if (check_arg_discard(id, redis) == 1) {
    if (set_arg_stat(id, redis, ARG_STAT_DISCARDED, ARG_EVENT_DISCARD) != 0) {
      MLD_ERR(kUnit, "set arg discard failed\n");
      return -1;
    }
    if (sendmsg_proxyd_arg(redis, id->domain_id, id->arg_id, NOTICE_DISCARD_MTYPE,
                           NOTICE_DISCARD_CTYPE) != 0) {
      MLD_ERR(kUnit, "send arg building msg failed\n");
      return -1;
    }
    return 1;
  }
  if (set_arg_stat(id, redis, ARG_STAT_BUILDING, ARG_EVENT_NONE) != 0) {
    MLD_ERR(kUnit, "set arg building failed\n");
    return -1;
  }
  if (sendmsg_proxyd_arg(redis, id->domain_id, id->arg_id, NOTICE_BUILDING_MTYPE,
                         NOTICE_BUILDING_CTYPE) != 0) {
    MLD_ERR(kUnit, "send arg building msg failed\n");
    return -1;
  }
  if (sub_task_for_math_model(id, dbname, MATH_TASK_AUTO) != 0) {
    ML_DEBUG("sub_task_for_math_model failed");
    return -1;
  }
  return 0;
}

}  // namespace

int check_sample(const sample_msg *msg, ml_db_obj *db, redis_conn *redis) {
  if (!msg || !db || !redis) return -1;
  if (msg->arg_len > kArgLenMax || msg->arg_real_len == 0) {
    MLD_ERR(kUnit, "Invalid argument length arg_len=%d,arg_real_len=%d\n",
            static_cast<int>(msg->arg_len), static_cast<int>(msg->arg_real_len));
    return -1;
  }
  const ml_arg_id id{msg->domain_id, msg->url_id, msg->arg_id};
  return check_arg_stat(&id, redis, ARG_STAT_COLLECTING, ARG_EVENT_NONE);
}

int process_sample(const sample_msg *msg, ml_db_obj *db, redis_conn *redis) {
  if (!msg || !db || !redis) return -1;
  const ml_arg_id id{msg->domain_id, msg->url_id, msg->arg_id};
  char dbname[65];
  if (read_dbname(redis, msg->domain_id, dbname) != 0) return -1;
  sample_table_names names{};
  get_sample_table_names(static_cast<int>(msg->arg_id), names.name0, names.name1, names.name2);
  MLD_MSG(MLD_TRACE, kUnit, "check arg:%d length %d, checked:%d\n", static_cast<int>(msg->arg_id),
          static_cast<int>(msg->arg_real_len), names.count);

  if (msg->arg_real_len > kRealLenMax) {
    if (ml_redis_update_sample_count(&id, redis, 1) != 0) {
      ML_DEBUG("update redis sample invalid count failed");
      return -1;
    }
    return 0;
  }

  char pattern[257];
  if (get_hmm_gen_str(msg, pattern, sizeof pattern) != 0) {
    MLD_ERR(kUnit, "get_hmm_gen_str failed\n");
    return -1;
  }
  // Escaping needs the connection (its character set); one lost earlier is
  // reopened here rather than by the transaction below.
  if (!db->conn && db->db_connect(db) != 0) {
    ML_DEBUG("Connect database failed");
    return -1;
  }
  const uint32_t len = msg->arg_len < SAMPLE_VALUE_MAX ? msg->arg_len : SAMPLE_VALUE_MAX;
  // The worst case of the bytes actually escaped (len may exceed kArgLenMax
  // when the caller skipped check_sample).
  char escaped[2 * SAMPLE_VALUE_MAX + 1];
  const unsigned long escaped_len = mysql_real_escape_string(
      db->conn, escaped, reinterpret_cast<const char *>(msg->arg_value), len);
  if (escaped_len == 0 || escaped_len > kEscapedMax) {
    MLD_ERR(kUnit, "strescape failed, too long size :%d\n", static_cast<int>(escaped_len));
    return -1;
  }
  stored_sample s;
  s.arg_id = static_cast<int32_t>(msg->arg_id);
  memcpy(s.sample_str, escaped, escaped_len);
  s.sample_str[escaped_len] = '\0';
  // A 256-character pattern loses its last character.
  const size_t pattern_len = strnlen(pattern, sizeof s.pattern - 1);
  memcpy(s.pattern, pattern, pattern_len);
  s.pattern[pattern_len] = '\0';

  const int stored = store_sample(db, &s, dbname, &names);
  if (stored < 0) return -1;
  int result = 0;
  if (stored == 0) {
    result = ml_redis_update_sample_count(&id, redis, 0);
    if (result != 0) {
      ML_DEBUG("update redis sample count failed");
      return -1;
    }
  }
  if (check_arg_sample_ready(&id, redis) == 1) {
    const int judged = judge_ready_arg(&id, redis, dbname);
    if (judged != 0) return judged < 0 ? -1 : 0;
    result = 0;
  }
  MLD_MSG(MLD_TRACE, kUnit, "insert sample result :%d\n", result);
  return 0;
}

int sample_process_loop(process_thread_arg *arg) {
  if (!arg) return -1;
  process_dbobj = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  if (!process_dbobj) {
    puts("process thread redisconn connect failed.");
    return -1;
  }
  if (arg->index < 0 || static_cast<uint32_t>(arg->index) >= arg->buckets->bucket_count) {
    ML_DEBUG("Invalid index %d", arg->index);
    return -1;
  }
  sample_bucket *bucket = &arg->buckets->buckets[arg->index];
  ml_db_obj db;
  init_ml_db_obj(&db);
  ml_db_connect_retry(&db);
  while (!ml_stopping()) {
    sample_node *node = pick_sample(arg->buckets, bucket);
    if (!node) {
      usleep(10000);
      continue;
    }
    // The receive thread queues only whole 1048-byte messages.
    sample_msg msg;
    memcpy(&msg, node->data, sizeof msg);
    if (check_sample(&msg, &db, process_dbobj) != 0) {
      MLD_MSG(MLD_INFO, kUnit, "check sample failed\n");
      free_msg_node(node);
      continue;
    }
    MLD_MSG(MLD_TRACE, kUnit, "check sample success\n");
    int r = process_sample(&msg, &db, process_dbobj);
    MLD_MSG(MLD_TRACE, kUnit, "process sample result:%d\n", r);
    if (r < 0) ML_DEBUG("Process sample failed");
    free_msg_node(node);
  }
  db.db_close(&db);
  return -1;
}

void *sample_process_thread_run(void *slot) {
  auto *s = static_cast<thread_slot *>(slot);
  if (!s) {
    ML_DEBUG("can not get thread_t");
    return nullptr;
  }
  sample_process_loop(static_cast<process_thread_arg *>(s->arg));
  return nullptr;
}

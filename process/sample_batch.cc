#include "process/sample_batch.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "arg/domain_info.h"
#include "log/ml_debug.h"
#include "log/ml_message.h"
#include "policy/ml_policy.h"
#include "process/readiness.h"
#include "process/sample_store.h"
#include "services/mldb.h"
#include "services/redis.h"

namespace {

// What became of one sample; printed after the batch in arrival order.
enum class fate : uint8_t {
  bad_length,      // check_sample: lengths out of range
  not_collecting,  // check_sample: state or event not (collecting, none)
  failed,          // process_sample failed (its own line printed already)
  abnormal,        // counted in abnormalcount
  stored,          // stored and counted in normalcount
  skipped,         // a new pattern of a full argument: not stored
};

struct batch_domain {
  uint32_t id = 0;
  domain_info dom;
  bool usable = false;  // read, with a valid database name
  char dbname[ML_DBNAME_LEN + 1] = "";
  bool governed = false;
  ml_policy_conf policy{};
};

struct batch_arg {
  ml_arg_id id{};
  size_t domain = 0;  // index into the batch's domains
  uint32_t samples = 0;
  // Read at the start of the batch.
  bool state_read = false, counts_read = false;
  int32_t state = 0, event = 0, normal = 0, start = 0;
  // Carried forward sample by sample.
  int32_t add_normal = 0, add_abnormal = 0;
  bool closed = false;  // ready in this batch: takes no later sample
  // Database numbers, read at the argument's first sample to store.
  bool db_read = false;
  int patterns = -1, tmp_rows = -1, trim = 0;
  std::vector<std::string> new_patterns;  // added by this batch
  sample_table_names names{};
};

struct batch_sample {
  sample_msg msg;
  size_t arg = 0;
  fate what = fate::failed;
  stored_sample row;
};

size_t find_domain(std::vector<batch_domain> &domains, uint32_t id) {
  for (size_t i = 0; i < domains.size(); i++)
    if (domains[i].id == id) return i;
  domains.emplace_back();
  domains.back().id = id;
  return domains.size() - 1;
}

size_t find_arg(std::vector<batch_arg> &args, const ml_arg_id &id) {
  for (size_t i = 0; i < args.size(); i++)
    if (args[i].id.domain_id == id.domain_id && args[i].id.arg_id == id.arg_id) return i;
  args.emplace_back();
  args.back().id = id;
  return args.size() - 1;
}

// One pipelined read of every argument's state and counters. False when
// Redis did not answer.
bool read_args(redis_conn *redis, std::vector<batch_arg> &args) {
  std::vector<std::string> keys;
  keys.reserve(args.size());
  std::vector<std::vector<std::string_view>> cmds;
  for (const batch_arg &a : args) keys.push_back(arg_hash_key(a.id.domain_id, a.id.arg_id));
  for (const std::string &k : keys)
    cmds.push_back({"HMGET", k, "arg_learn_stat", "events", "normalcount", "start_time"});
  reply_ptr r(redisconn_run_pipeline(redis, cmds.data(), cmds.size()));
  if (!r) return false;
  for (size_t i = 0; i < args.size(); i++) {
    const redis_reply *v = reply_elem(r.get(), static_cast<uint32_t>(i));
    if (!v || v->type != ML_REDIS_ARRAY) return false;
    batch_arg &a = args[i];
    a.state_read = !reply_elem_missing(v, 0) && !reply_elem_missing(v, 1);
    a.state = static_cast<int32_t>(reply_elem_ll(v, 0));
    a.event = static_cast<int32_t>(reply_elem_ll(v, 1));
    a.counts_read = !reply_elem_missing(v, 2) && !reply_elem_missing(v, 3);
    a.normal = static_cast<int32_t>(reply_elem_ll(v, 2));
    a.start = static_cast<int32_t>(reply_elem_ll(v, 3));
  }
  return true;
}

// Each domain's record, database name and policy. False when Redis did not answer.
bool read_domains(const process_env *env, std::vector<batch_domain> &domains) {
  for (batch_domain &d : domains) {
    if (ml_domain_info_read(env->redis, d.id, &d.dom) != 0) return false;
    d.usable = ml_domain_dbname_of(d.dom, d.id, d.dbname) == 0;
    d.governed = ml_domain_policy_of(d.dom, env->policies, &d.policy) == 1;
  }
  return true;
}

// The argument's pattern and temporary row counts, once per batch, inside
// its transaction.
void read_db_counts(ml_db_obj *db, const char *dbname, batch_arg &a) {
  if (a.db_read) return;
  a.db_read = true;
  get_sample_table_names(static_cast<int>(a.id.arg_id), a.names.name0, a.names.name1,
                         a.names.name2);
  a.patterns = get_sample_pattern_count(static_cast<int>(a.id.arg_id), db, dbname, a.names.name0);
  a.tmp_rows = get_boxplot_sample_count(static_cast<int>(a.id.arg_id), db, dbname, a.names.name1);
}

// The pattern cap for one sample, as one sample alone meets it: 0 stored,
// 1 skipped (a new pattern of a full argument), -1 failed. Only an argument
// that this batch could bring to the cap asks the database.
int cap_decision(ml_db_obj *db, const char *dbname, batch_arg &a, const char *pattern) {
  if (a.patterns < 0) return 0;  // count failed: the key still dedups
  for (const std::string &p : a.new_patterns)
    if (p == pattern) return 0;
  if (a.patterns + static_cast<int>(a.samples) < SAMPLE_PATTERN_CAP) {
    // Far from the cap: only new patterns count, and the exact number
    // matters only near the cap, so every pattern may be taken as new.
    return 0;
  }
  const int e =
      check_pattern_exist(static_cast<int>(a.id.arg_id), db, dbname, a.names.name0, pattern);
  if (e < 0) {
    ML_DEBUG("check_pattern_exist failed");
    return -1;
  }
  if (e > 0) return 0;
  if (a.patterns >= SAMPLE_PATTERN_CAP) return 1;
  a.patterns++;
  a.new_patterns.emplace_back(pattern);
  return 0;
}

// The temporary table's trim as one sample at a time would leave it: back to
// SAMPLE_TMP_KEEP rows each time SAMPLE_TMP_TRIM_AT are reached.
void count_tmp_row(batch_arg &a) {
  if (a.tmp_rows < 0) return;  // count failed: no trim this time
  a.tmp_rows++;
  if (a.tmp_rows >= SAMPLE_TMP_TRIM_AT) {
    a.trim += a.tmp_rows - SAMPLE_TMP_KEEP;
    a.tmp_rows = SAMPLE_TMP_KEEP;
  }
}

// The statements of the batch: per table one multi-row insert into the
// sample table, one into the temporary table, then each argument's trim.
bool write_rows(ml_db_obj *db, const std::vector<batch_sample> &samples,
                const std::vector<batch_arg> &args, const std::vector<batch_domain> &domains) {
  struct table_rows {
    std::string target;  // "db.table"
    std::string patterns, raw;
  };
  std::vector<table_rows> tables;
  char row[2 * sizeof(stored_sample) + 64];
  for (const batch_sample &s : samples) {
    if (s.what != fate::stored) continue;
    const batch_arg &a = args[s.arg];
    const std::string target = std::string(domains[a.domain].dbname) + "." + a.names.name0 + "\t" +
                               domains[a.domain].dbname + "." + a.names.name1;
    table_rows *t = nullptr;
    for (table_rows &have : tables)
      if (have.target == target) t = &have;
    if (!t) {
      tables.push_back({target, "", ""});
      t = &tables.back();
    }
    snprintf(row, sizeof row, "%s(%d, '%s', '%s', 1, 0.0, 0.0, %llu)",
             t->patterns.empty() ? "" : ",", s.row.arg_id, s.row.sample_str, s.row.pattern,
             static_cast<unsigned long long>(s.row.value_bit));
    t->patterns += row;
    snprintf(row, sizeof row, "%s( %d,'%s','%s')", t->raw.empty() ? "" : ",", s.row.arg_id,
             s.row.sample_str, s.row.pattern);
    t->raw += row;
  }
  for (const table_rows &t : tables) {
    const size_t tab = t.target.find('\t');
    const std::string samples_table = t.target.substr(0, tab), tmp_table = t.target.substr(tab + 1);
    const std::string insert = "insert into " + samples_table +
                               " (arg_id, sample_str, pattern, pattern_count, pattern_probability, "
                               "average_probability, value_bits) values" +
                               t.patterns +
                               " ON DUPLICATE KEY UPDATE pattern_count=pattern_count+1, " +
                               SAMPLE_VALUE_BITS_UPDATE + ";";
    if (db->db_execute(db, insert.c_str()) != 0) {
      ML_DEBUG_AS(ML_OP_PROCESS_SAMPLE, "insert_sample failed");
      return false;
    }
    const std::string tmp =
        "insert into " + tmp_table + " (arg_id,sample_str,pattern) values" + t.raw;
    if (db->db_execute(db, tmp.c_str()) != 0) {
      ML_DEBUG_AS(ML_OP_PROCESS_SAMPLE, "insert_sample_temp failed");
      return false;
    }
  }
  for (const batch_arg &a : args) {
    if (a.trim <= 0) continue;
    snprintf(row, sizeof row, "delete from %s.%s where arg_id=%d order by id limit %d;",
             domains[a.domain].dbname, a.names.name1, static_cast<int>(a.id.arg_id), a.trim);
    db->db_execute(db, row);  // a failed trim is retried by a later batch
  }
  return true;
}

// The lines one sample alone would have printed up to its storage.
void print_fate(const batch_sample &s, const batch_arg &a) {
  switch (s.what) {
    case fate::bad_length:
      MLD_ERR(MLD_UNIT_PROCESS, "Invalid argument length arg_len=%d,arg_real_len=%d\n",
              static_cast<int>(s.msg.arg_len), static_cast<int>(s.msg.arg_real_len));
      MLD_MSG(MLD_INFO, MLD_UNIT_PROCESS, "check sample failed\n");
      return;
    case fate::not_collecting: {
      // A state changed in this batch reads as the state it was changed to.
      if (a.state_read && a.state != ARG_STAT_COLLECTING)
        ML_DEBUG_AS("check_arg_stat", "Invalid arg stat %d, HMGET arg:%d:%d arg_learn_stat events",
                    static_cast<int>(a.state), static_cast<int>(a.id.domain_id),
                    static_cast<int>(a.id.arg_id));
      else if (a.state_read && a.event != ARG_EVENT_NONE)
        ML_DEBUG_AS("check_arg_stat", "Invalid event %d", static_cast<int>(a.event));
      MLD_MSG(MLD_INFO, MLD_UNIT_PROCESS, "check sample failed\n");
      return;
    }
    case fate::failed:
      ML_DEBUG_AS(ML_OP_PROCESS_LOOP, "Process sample failed");
      return;
    default:
      MLD_MSG(MLD_TRACE, MLD_UNIT_PROCESS, "check sample success\n");
      MLD_MSG(MLD_TRACE, MLD_UNIT_PROCESS, "process sample result:%d\n", 0);
  }
}

// One pipelined write of the batch's counters. Per argument, whether its
// counters were written.
std::vector<bool> write_counts(redis_conn *redis, const std::vector<batch_arg> &args) {
  std::vector<bool> ok(args.size(), true);
  std::vector<std::string> keys, numbers;
  keys.reserve(2 * args.size());
  numbers.reserve(2 * args.size());
  std::vector<std::vector<std::string_view>> cmds;
  std::vector<size_t> owner;
  for (size_t i = 0; i < args.size(); i++) {
    const batch_arg &a = args[i];
    const std::string key = arg_hash_key(a.id.domain_id, a.id.arg_id);
    for (const auto &[field, by] : {std::pair<const char *, int32_t>{"normalcount", a.add_normal},
                                    {"abnormalcount", a.add_abnormal}}) {
      if (by == 0) continue;
      keys.push_back(key);
      numbers.push_back(std::to_string(by));
      cmds.push_back({"HINCRBY", keys.back(), field, numbers.back()});
      owner.push_back(i);
    }
  }
  if (cmds.empty()) return ok;
  reply_ptr r(redisconn_run_pipeline(redis, cmds.data(), cmds.size()));
  for (size_t c = 0; c < cmds.size(); c++) {
    const redis_reply *v = reply_elem(r.get(), static_cast<uint32_t>(c));
    if (!v || v->type != ML_REDIS_INTEGER) ok[owner[c]] = false;
  }
  return ok;
}

// The batch being processed: its samples, arguments and domains.
struct batch {
  std::vector<batch_sample> samples;
  std::vector<batch_arg> args;
  std::vector<batch_domain> domains;
  std::vector<size_t> ready;  // arguments in the order they became ready
  bool in_trans = false;
};

// Decides one sample as it would be decided alone, on the numbers carried
// forward; opens the transaction at the first sample to store. False when
// the transaction could not be opened (nothing written yet).
bool decide(batch &b, batch_sample &s, ml_db_obj *db, long now) {
  batch_arg &a = b.args[s.arg];
  const batch_domain &d = b.domains[a.domain];
  if (s.msg.arg_len > SAMPLE_ARG_LEN_MAX || s.msg.arg_real_len == 0) {
    s.what = fate::bad_length;
    return true;
  }
  if (a.closed || !a.state_read || a.state != ARG_STAT_COLLECTING || a.event != ARG_EVENT_NONE) {
    s.what = fate::not_collecting;
    return true;
  }
  if (!d.usable) return true;  // failed
  if (s.msg.arg_real_len > SAMPLE_REAL_LEN_MAX) {
    a.add_abnormal++;
    s.what = fate::abnormal;
    return true;
  }
  char pattern[257];
  if (get_hmm_gen_str(&s.msg, pattern, sizeof pattern) != 0) {
    MLD_ERR(MLD_UNIT_PROCESS, "get_hmm_gen_str failed\n");
    return true;
  }
  if (!b.in_trans) {
    if (mldb_ready(db) != 0 || db->db_begin_trans(db) != 0) return false;
    b.in_trans = true;
  }
  if (prepare_sample(&s.msg, db, pattern, &s.row) != 0) return true;
  read_db_counts(db, d.dbname, a);
  const int cap = cap_decision(db, d.dbname, a, s.row.pattern);
  if (cap < 0) return true;
  if (cap == 0) {
    s.what = fate::stored;
    a.add_normal++;
    count_tmp_row(a);
  } else {
    s.what = fate::skipped;
  }
  const int32_t count =
      static_cast<int32_t>(static_cast<uint32_t>(a.normal) + static_cast<uint32_t>(a.add_normal));
  if (a.counts_read && arg_ready_by(d.governed ? &d.policy : nullptr, count, a.start, now) == 1) {
    a.closed = true;
    b.ready.push_back(s.arg);
  }
  return true;
}

// After the commit: the counters, each sample's lines, the ready arguments.
void finish(batch &b, const process_env *env) {
  const std::vector<bool> counted = write_counts(env->redis, b.args);
  for (batch_sample &s : b.samples) {
    if ((s.what == fate::stored || s.what == fate::abnormal) && !counted[s.arg]) {
      if (s.what == fate::stored)
        ML_DEBUG_AS(ML_OP_PROCESS_SAMPLE, "update redis sample count failed");
      else
        ML_DEBUG("update redis sample invalid count failed");
      s.what = fate::failed;
    }
    print_fate(s, b.args[s.arg]);
  }
  for (size_t i : b.ready) {
    const batch_arg &a = b.args[i];
    if (!counted[i]) continue;
    ML_DEBUG_AS("check_arg_sample_ready", "arg %d is ready for model.",
                static_cast<int>(a.id.arg_id));
    if (judge_ready_arg(&a.id, env, b.domains[a.domain].dbname) < 0)
      ML_DEBUG_AS(ML_OP_PROCESS_LOOP, "Process sample failed");
  }
}

}  // namespace

int process_sample_batch(sample_node *const *nodes, uint32_t n, const process_env *env) {
  if (!nodes || n == 0 || n > SAMPLE_BATCH_MAX || !env || !env->db || !env->redis) return -1;
  batch b;
  b.samples.resize(n);
  b.domains.reserve(n);
  for (uint32_t i = 0; i < n; i++) {
    batch_sample &s = b.samples[i];
    memcpy(&s.msg, nodes[i]->data, sizeof s.msg);
    const ml_arg_id id{s.msg.domain_id, s.msg.url_id, s.msg.arg_id};
    s.arg = find_arg(b.args, id);
    b.args[s.arg].domain = find_domain(b.domains, id.domain_id);
    b.args[s.arg].samples++;
  }
  if (!read_args(env->redis, b.args) || !read_domains(env, b.domains)) return -1;
  ml_db_obj *db = env->db;
  const long now = time(nullptr);
  for (batch_sample &s : b.samples)
    if (!decide(b, s, db, now)) return -1;
  if (b.in_trans) {
    if (!write_rows(db, b.samples, b.args, b.domains)) {
      db->db_rollback(db);
      return -1;
    }
    if (db->db_commit(db) != 0) {
      ML_DEBUG_AS(ML_OP_PROCESS_SAMPLE, "db_commit failed");
      db->db_rollback(db);
      return -1;
    }
  }
  finish(b, env);  // committed: printed and counted as each sample alone
  return 0;
}

// The receive thread: the one producer of the sample buckets.
//
// One blocking pop (BLPOP with a 100 ms time-out) per pass on the thread's
// own connection. A popped message is
// dropped (after its line) when the queues are full, when it is not exactly
// SAMPLE_MSG_LEN bytes, or when its domain is governed by no known policy;
// otherwise a copy goes to the bucket chosen from its identifiers, so that
// one argument's samples keep their arrival order.
//
// Pacing: an empty list is waited on in Redis, so an idle thread costs ten
// commands a second and a pushed sample is taken at once; a missing or
// refused reply pauses 100 ms before the next try. At the queue limit the
// thread does not wait for room: it drops what it popped and pauses 100 ms,
// which bounds the queued memory and lets the processing threads catch up.
// Every accepted sample costs a second round trip (the domain's HMGET), so
// the thread runs at about half the rate Redis answers single commands.
//
// Locks: table_lock (read) only during the policy walk, bucket_lock only
// around the insertion, the count and the consumer's wake-up; never both. A lost connection is
// reconnected by the client library on the next command, so the thread just
// sees a missing reply and tries again.
#include "intake/ml_sample_recv.h"

#include <unistd.h>

#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>

#include "intake/sample_bucket.h"
#include "log/ml_debug.h"
#include "log/ml_message.h"
#include "platform/framework/framework.h"
#include "policy/ml_policy.h"
#include "services/pattern.h"
#include "services/redis.h"
#include "services/threads.h"

thread_local redis_conn *recv_dbobj = nullptr;

namespace {

constexpr const char *kUnit = MLD_UNIT_RECV;
// How long one blocking pop waits for a sample. It bounds how late the
// thread sees the stop flag, and costs Redis ten commands a second when idle.
constexpr const char *kPopWaitSeconds = "0.1";
constexpr useconds_t kNoReplyPauseUs = 100000;
constexpr useconds_t kFullPauseUs = 100000;
constexpr size_t kPatternCap = 256;  // at most 255 characters and the NUL

enum class pop_result { none, empty, other, message };

// One blocking pop: waits up to kPopWaitSeconds for a sample. On a message,
// copies at most SAMPLE_COPY_MAX bytes into buf and sets *len to the copied
// length.
pop_result pop_sample(redis_conn *conn, const char *cmd, unsigned char *buf, uint32_t *len) {
  reply_ptr r(redisconn_run_command(conn, cmd, static_cast<int>(strlen(cmd))));
  if (!r) return pop_result::none;
  if (r->type == ML_REDIS_NIL) return pop_result::empty;
  // The reply names the list, then carries the popped value.
  const redis_reply *value = reply_elem(r.get(), 1);
  if (!value || value->type != ML_REDIS_STRING || !value->str) return pop_result::other;
  uint64_t n = value->len < SAMPLE_COPY_MAX ? value->len : SAMPLE_COPY_MAX;
  memcpy(buf, value->str, n);
  *len = static_cast<uint32_t>(n);
  return pop_result::message;
}

// True (after its line) when the queues hold their limit of samples.
bool queue_full(sample_buckets *set, uint32_t limit) {
  uint32_t queued = sample_queued(set);
  if (queued < limit) return false;
  MLD_MSG(MLD_DEBUG, kUnit, "sample count(%d) is bigger than %d\n", static_cast<int>(queued),
          static_cast<int>(limit));
  return true;
}

// True when a popped message has the record's exact length; else its line.
bool length_ok(uint32_t n) {
  if (n < SAMPLE_MSG_LEN) {
    MLD_ERR(kUnit, "Received sample length illegal.");
    return false;
  }
  if (n > SAMPLE_MSG_LEN) {
    MLD_ERR(kUnit, "Received incorrect message.");
    return false;
  }
  return true;
}

// Appends a copy of the message to its bucket and counts it.
void queue_sample(sample_buckets *set, const sample_msg *msg) {
  uint32_t index = sample_bucket_index(msg, set->bucket_count);
  assert(index < set->bucket_count);
  if (sample_queue(set, index, msg, static_cast<int>(SAMPLE_MSG_LEN)) != 0)
    MLD_ERR(kUnit, "Insert Failed for sample policy:%u, url: %d, arg:%d\n", msg->domain_id,
            static_cast<int>(msg->url_id), static_cast<int>(msg->arg_id));
}

// Checks and queues one popped message of n bytes held in buf.
void handle_sample(redis_conn *conn, const recv_thread_arg *arg, const unsigned char *buf,
                   uint32_t n) {
  if (!length_ok(n)) return;
  sample_msg msg;
  memcpy(&msg, buf, sizeof msg);
  MLD_MSG(MLD_TRACE, kUnit, "recevie sample domain:%u, url: %u, arg:%u\n", msg.domain_id,
          msg.url_id, msg.arg_id);
  if (sample_recv_check_policy(conn, arg->policies, &msg) != 1) {
    MLD_MSG(MLD_INFO, kUnit, "Failed to find policy for sample policy:%u, url: %u, arg:%u\n",
            msg.domain_id, msg.url_id, msg.arg_id);
    return;
  }
  queue_sample(arg->buckets, &msg);
}

bool stopping(const recv_thread_arg *arg) {
  return arg->stop_flag->load(std::memory_order_relaxed) != 0;
}

}  // namespace

void *sample_recv_thread_run(void *slot) {
  const auto *arg = thread_slot_arg<const recv_thread_arg>(slot);
  if (!arg || !arg->stop_flag || !arg->policies) {
    ML_DEBUG("sample_recv_thread_run(): g_data is NULL.");
    return nullptr;
  }
  sample_buckets *set = arg->buckets;
  const uint32_t buckets = set ? set->bucket_count : 0;
  if (buckets == 0 || !set->buckets) {
    ML_DEBUG("sample_recv_thread_run(): sample_buckets is NULL.");
    return nullptr;
  }
  recv_dbobj = redisconn_connect(ML_REDIS_HOST, ML_REDIS_PORT);
  if (!recv_dbobj) {
    puts("recv thread redisconn_connect failed.");
    return nullptr;
  }
  const uint32_t limit = buckets * SAMPLES_PER_BUCKET;
  char cmd[ML_CMD_LEN];
  snprintf(cmd, sizeof cmd, "blpop %s %s", SAMPLE_LIST_KEY, kPopWaitSeconds);
  unsigned char buf[SAMPLE_COPY_MAX];
  while (!stopping(arg)) {
    uint32_t n = 0;
    pop_result got = pop_sample(recv_dbobj, cmd, buf, &n);
    // An empty list has already waited in Redis; a missing or refused reply
    // pauses as long, so a failing server is not asked again at once.
    if (got == pop_result::none || got == pop_result::other) usleep(kNoReplyPauseUs);
    if (got != pop_result::message) continue;
    if (queue_full(set, limit)) {
      usleep(kFullPauseUs);
      continue;
    }
    handle_sample(recv_dbobj, arg, buf, n);
  }
  return nullptr;
}

int32_t sample_recv_check_policy(redis_conn *redis, ml_plist *policies, const sample_msg *msg) {
  if (!redis || !policies || !msg) return -1;
  return ml_domain_policy(redis, policies, msg->domain_id, nullptr);
}

void write_sample(int type, const char *text) {
  const char *fixed = type == 7 ? "/var/log/email1" : type == 8 ? "/var/log/email2" : nullptr;
  char path[PATH_MAX] = "";
  if (fixed) fw_path(fixed, path, sizeof path);
  FILE *f = fixed ? fopen(path, "a") : nullptr;
  if (!f) {
    printf("open file %s failed!\n", path);
    return;
  }
  fprintf(f, "%s\n", text ? text : "");
  fclose(f);
}

void save_generalize(const unsigned char *value, uint32_t len) {
  char path[PATH_MAX];
  FILE *f = fopen(fw_path("/var/log/pattern_vqn_mld.txt", path, sizeof path), "a");
  if (!f) return;
  char pattern[kPatternCap] = "";
  if (ml_pattern_text(value, len, pattern, sizeof pattern) != 0) {
    puts("generate hmm str failed");
    pattern[0] = '\0';
  }
  // The value is written as text: its bytes up to len or the first NUL.
  fprintf(f, "%s, %.*s\n", pattern, static_cast<int>(len < INT_MAX ? len : INT_MAX),
          value ? reinterpret_cast<const char *>(value) : "");
  fflush(f);
  fclose(f);
}

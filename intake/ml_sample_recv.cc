// The receive thread: the one producer of the sample buckets.
//
// Each pass takes a batch of messages in one round trip (sample_take: no
// message is lost with a reply) and deals them out in arrival order. A
// message is dropped (after its line) when the queues are full, when it is
// not exactly SAMPLE_MSG_LEN bytes, or when its domain is governed by no
// known policy; otherwise a copy goes to the bucket chosen from its
// identifiers, so that one argument's samples keep their arrival order. The
// domain's policy is looked up once per domain and batch.
//
// Pacing: a batch takes what the list holds, up to the room left in the
// queues, so a lone sample is not held back; an empty list is waited on in
// Redis (BLMOVE), so an idle thread costs twenty commands a second and a
// pushed sample is taken at once; a missing or refused reply pauses 100 ms
// before the next try. At the queue limit the thread takes one message,
// drops it and pauses 100 ms, which bounds the queued memory and lets the
// processing threads catch up.
//
// Locks: table_lock (read) only during the policy walk, bucket_lock only
// around the insertion, the count and the consumer's wake-up; never both. A lost connection is
// reconnected by the client library on the next command, so the thread just
// sees a missing reply and tries again.
#include "intake/ml_sample_recv.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "intake/sample_bucket.h"
#include "intake/sample_take.h"
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

// Messages one take may hand out: 256 KiB of reply at most.
constexpr uint32_t kTakeMax = 256;
// Pause between start-up attempts to drop a batch left by a previous run.
constexpr useconds_t kRecoverPauseUs = 100000;

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

// Whether each domain of one batch is governed; looked up once per domain.
class batch_policies {
 public:
  batch_policies(redis_conn *conn, ml_plist *policies) : conn_(conn), policies_(policies) {}
  bool governed(const sample_msg &msg) {
    for (const auto &[domain, found] : seen_)
      if (domain == msg.domain_id) return found;
    const bool found = sample_recv_check_policy(conn_, policies_, &msg) == 1;
    seen_.emplace_back(msg.domain_id, found);
    return found;
  }

 private:
  redis_conn *conn_;
  ml_plist *policies_;
  std::vector<std::pair<uint32_t, bool>> seen_;
};

// Checks and queues one taken message.
void handle_sample(const recv_thread_arg *arg, batch_policies &policies, const redis_reply *value) {
  if (value->type != ML_REDIS_STRING || !value->str) return;
  const uint32_t n =
      value->len < SAMPLE_COPY_MAX ? static_cast<uint32_t>(value->len) : SAMPLE_COPY_MAX;
  if (!length_ok(n)) return;
  sample_msg msg;
  memcpy(&msg, value->str, sizeof msg);
  MLD_MSG(MLD_TRACE, kUnit, "recevie sample domain:%u, url: %u, arg:%u\n", msg.domain_id,
          msg.url_id, msg.arg_id);
  if (!policies.governed(msg)) {
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
  sample_taker taker;
  sample_take_init(&taker, ml_daemon_id());
  // A batch the previous run was handed but never released may have been
  // queued by it: dropped, not counted twice.
  for (int dropped; !stopping(arg) && (dropped = sample_take_recover(recv_dbobj, &taker)) != 0;) {
    if (dropped > 0) {
      MLD_ERR(kUnit, "Dropped %d sample(s) taken by a run that did not stop\n", dropped);
      break;
    }
    usleep(kRecoverPauseUs);
  }
  while (!stopping(arg)) {
    const uint32_t queued = sample_queued(set);
    const bool full = queued >= limit;
    reply_ptr r = sample_take(recv_dbobj, &taker, full ? 1 : std::min(kTakeMax, limit - queued));
    if (!r) {
      usleep(kNoReplyPauseUs);
      continue;
    }
    const redis_reply *batch = reply_elem(r.get(), 1);
    if (batch->elements == 0) {
      // Waits in Redis; what arrives is handed out by the next take.
      if (sample_take_wait(recv_dbobj, &taker, kPopWaitSeconds) < 0) usleep(kNoReplyPauseUs);
      continue;
    }
    // Taken while full: dropped with its line, unless room came meanwhile.
    if (full && queue_full(set, limit)) {
      usleep(kFullPauseUs);
      continue;
    }
    batch_policies policies(recv_dbobj, arg->policies);
    for (uint32_t i = 0; i < batch->elements; i++) handle_sample(arg, policies, batch->element + i);
  }
  sample_take_release(recv_dbobj, &taker);
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

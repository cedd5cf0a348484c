// A sample message as the proxy's bytes, through the steps that need no
// server: the copy into the record, the bucket choice, the bucket's FIFO and
// the pattern generalised from the value, whatever the length fields claim.
// The receive thread's length gate is a plain comparison, so inputs are cut
// or zero-padded to a whole message instead of being mostly refused.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "intake/sample_bucket.h"
#include "intake/sample_msg.h"
#include "process/sample_store.h"

namespace {

sample_buckets *buckets() {
  static sample_buckets *set = [] {
    auto *s = new sample_buckets{};
    if (init_sample_buckets(s, 64) != 0) abort();
    return s;
  }();
  return set;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  unsigned char wire[SAMPLE_MSG_LEN] = {};
  memcpy(wire, data, size < sizeof wire ? size : sizeof wire);
  sample_msg msg;
  memcpy(&msg, wire, sizeof msg);

  sample_buckets *set = buckets();
  const uint32_t n = 1 + (size > SAMPLE_MSG_LEN ? data[SAMPLE_MSG_LEN] % 64 : 63);
  const uint32_t index = sample_bucket_index(&msg, n);
  if (index >= n) abort();
  pthread_mutex_lock(&set->bucket_lock);
  const int inserted = sample_insert_node(&set->buckets[index], &msg, sizeof msg);
  if (inserted == 0) sample_count_add(set, 1);
  pthread_mutex_unlock(&set->bucket_lock);
  if (inserted != 0) abort();
  sample_node *node = pick_sample(set, &set->buckets[index]);
  if (!node || memcmp(node->data, &msg, sizeof msg) != 0) abort();
  sample_msg taken;
  memcpy(&taken, node->data, sizeof taken);
  free_msg_node(node);
  if (sample_queued(set) != 0) abort();

  char pattern[257];
  memset(pattern, 0x7f, sizeof pattern);
  if (get_hmm_gen_str(&taken, pattern, sizeof pattern) == 0) {
    const size_t len = strnlen(pattern, sizeof pattern);
    if (len == sizeof pattern) abort();  // not terminated inside its buffer
    const uint32_t value_len = taken.arg_len < SAMPLE_VALUE_MAX ? taken.arg_len : SAMPLE_VALUE_MAX;
    if (len > value_len) abort();
    for (size_t i = 0; i < len; i++)
      if (pattern[i] < '0' || pattern[i] >= '0' + 44 || pattern[i] == '\'' || pattern[i] == '\\')
        abort();
  }
  return 0;
}

// Sample receive thread: pops the proxy's sample messages from arg:mlnsample
// and deals those of governed domains into the sample buckets.
#pragma once

#include <atomic>
#include <cstdint>

#include "intake/sample_msg.h"

struct redis_conn;
struct sample_buckets;
struct ml_plist;

// What the receive thread uses, all owned by the caller and outliving the thread.
struct recv_thread_arg {
  sample_buckets *buckets;                 // where accepted samples go
  ml_plist *policies;                      // read only
  const std::atomic<uint32_t> *stop_flag;  // non-zero: leave the loop
};

// The receive thread's own Redis connection; not shared with any other thread.
extern thread_local redis_conn *recv_dbobj;

// Thread function; its argument is a thread slot (handle, argument) whose
// argument word is the thread's recv_thread_arg. Runs until the stop flag is
// set; returns null.
void *sample_recv_thread_run(void *slot);

// 1 when the sample's domain (domain_info:<domain_id>) names a policy of the
// policy table, 0 when it does not, -1 for a null argument, no reply, or a
// domain hash without adomname or policy_name.
int32_t sample_recv_check_policy(redis_conn *redis, ml_plist *policies, const sample_msg *msg);

// Debugging aid: appends text and a newline to /var/log/email1 (type 7) or
// /var/log/email2 (type 8); prints "open file %s failed!" otherwise.
void write_sample(int type, const char *text);
// Debugging aid: appends "<pattern>, <value>" to /var/log/pattern_vqn_mld.txt.
// The pattern is empty when the generalisation fails.
void save_generalize(const unsigned char *value, uint32_t len);

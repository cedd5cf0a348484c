// Sample receive thread: pops the proxy's sample messages from arg:mlnsample
// and deals those of governed domains into the sample buckets.
#pragma once

#include <cstdint>

#include "intake/sample_msg.h"

struct redis_conn;

// The receive thread's own Redis connection; not shared with any other thread.
extern thread_local redis_conn *recv_dbobj;

// Thread function; its argument (the thread slot) is not used. Runs until the
// stop flag is set; returns null.
void *sample_recv_thread_run(void *slot);

// 1 when the sample's domain (domain_info:<domain_id>) names a policy of the
// policy table, 0 when it does not, -1 for a null argument, no reply, or a
// domain hash without adomname or policy_name.
int32_t sample_recv_check_policy(redis_conn *redis, const sample_msg *msg);

// Debugging aid: appends text and a newline to /var/log/email1 (type 7) or
// /var/log/email2 (type 8); prints "open file %s failed!" otherwise.
void write_sample(int type, const char *text);
// Debugging aid: appends "<pattern>, <value>" to /var/log/pattern_vqn_mld.txt.
// The pattern is empty when the generalisation fails.
void save_generalize(const unsigned char *value, uint32_t len);

// Learning readiness: whether an argument has gathered enough samples under
// its domain's learning policy.
#pragma once

#include <cstdint>

#include "arg/arg_state.h"

struct redis_conn;
struct ml_plist;
struct ml_policy_conf;

// Samples needed: count-and-time mode (0) also needs the learning weeks to
// have passed since start_time; count-only mode (1) needs the count alone.
constexpr int READY_COUNT_AND_TIME = 2500;
constexpr int READY_COUNT_ONLY = 1500;
constexpr long SECONDS_PER_WEEK = 604800;

// 1 ready, 0 not yet, -1 cannot be decided (no reply, a missing field, no
// policy in the table for the domain, or a policy whose learning time is 0).
int check_arg_sample_ready(const ml_arg_id *id, redis_conn *redis, ml_plist *policies);
// The decision itself, from numbers already read: 1 ready, 0 not yet, -1
// undecidable (no policy, or a learning time of 0). now is the clock's time.
int arg_ready_by(const ml_policy_conf *policy, int32_t count, int32_t start_time, long now);
// The same decision under a policy already looked up (null: none found), so
// that a caller holding the domain record saves its second read.
int arg_sample_ready_under(const ml_arg_id *id, redis_conn *redis, const ml_policy_conf *policy);

// Argument notifications to the proxy: a JSON object naming the domain,
// policy, URL and argument and what changed, published with
// redis_publish_event.
#pragma once

#include <cstdint>

struct redis_conn;

// Notification kinds as (mtype, ctype).
constexpr int32_t NOTICE_DISCARD_MTYPE = 2, NOTICE_DISCARD_CTYPE = 5;
constexpr int32_t NOTICE_BUILDING_MTYPE = 3, NOTICE_BUILDING_CTYPE = 2;
constexpr int32_t NOTICE_READY_MTYPE = 3, NOTICE_READY_CTYPE = 1;

// Gathers the names from domain_info:<domain_id> and arg:<domain_id>:<arg_id>
// and publishes the notification. 0 when published; -1 when a name is missing
// (nothing published) or the publish failed (after a line on stdout).
int sendmsg_proxyd_arg(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, int32_t mtype,
                       int32_t ctype);

// The conversion of a hiredis reply tree into the library's own records,
// exposed apart from the client so that it can be exercised without a
// server (fuzzing, tools). Needs hiredis' headers, which redisconn.h does not.
#pragma once

#include <hiredis/hiredis.h>

#include "platform/redis/redisconn.h"

// Copies the tree under src into one allocation of redis_reply records and
// string bytes; the caller frees it with redisconn_free_result. Error
// replies are copied like status replies (type ML_REDIS_ERROR): refusing them
// is the command layer's decision. Null for a null src or no memory.
redis_reply *redisconn_convert_reply(const redisReply *src);

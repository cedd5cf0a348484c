// Math model threads: each takes math tasks one at a time and builds models.
#pragma once

struct redis_conn;

// This math thread's own Redis connection.
extern thread_local redis_conn *math_dbobj;

// Thread function; its argument is not used. Returns null.
void *math_model_thread_run(void *slot);

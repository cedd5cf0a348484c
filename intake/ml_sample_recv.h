// Sample receive thread: pops the proxy's sample messages from arg:mlnsample
// and deals those of governed domains into the sample buckets.
#pragma once

struct redis_conn;

// The receive thread's own Redis connection.
extern thread_local redis_conn *recv_dbobj;

// Thread function; its argument (the thread slot) is not used. Returns null.
void *sample_recv_thread_run(void *slot);

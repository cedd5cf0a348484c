// Sample processing threads: thread i takes the samples of bucket i.
#pragma once

struct redis_conn;

// This processing thread's own Redis connection.
extern thread_local redis_conn *process_dbobj;

// Thread function; its argument is the thread's slot, whose argument word is
// the thread's process_thread_arg. Returns null.
void *sample_process_thread_run(void *slot);

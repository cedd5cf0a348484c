// Sample processing threads. Processing thread i owns bucket i, its own Redis
// connection and its own learning database object. It takes the samples of
// its bucket one at a time, oldest first (all samples of one argument come
// to the same thread, in arrival order), checks each one and carries it
// through storage, counting and the readiness decision.
#pragma once

#include "intake/sample_bucket.h"
#include "intake/sample_msg.h"

struct redis_conn;
struct ml_db_obj;
struct process_thread_arg;

// This processing thread's own Redis connection.
extern thread_local redis_conn *process_dbobj;

// Thread function; its argument is the thread's slot, whose argument word is
// the thread's process_thread_arg. Returns null.
void *sample_process_thread_run(void *slot);
// The thread body: runs until the stop flag is set. -1 when it ends.
int sample_process_loop(process_thread_arg *arg);

// 0 when the sample may be processed: lengths in range and the argument
// collecting with no event; -1 to drop it.
int check_sample(const sample_msg *msg, ml_db_obj *db, redis_conn *redis);
// Stores, counts and judges one sample. 0 done (stored, skipped by the
// pattern cap, or counted abnormal), -1 failed (after its line).
int process_sample(const sample_msg *msg, ml_db_obj *db, redis_conn *redis);

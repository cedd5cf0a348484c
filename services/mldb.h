// The daemon's view of the learning database library: the library's calls
// plus a guard that releases a record set on every return path.
#pragma once

#include "platform/mldb/mldb.h"

// Owns a zeroed record set; releases its result (if any) on destruction.
class recordset_guard {
 public:
  explicit recordset_guard(ml_db_obj *db) : db_(db), rs_{} {}
  ~recordset_guard() {
    if (db_ && rs_.result) db_->db_free_recordset(&rs_);
  }
  recordset_guard(const recordset_guard &) = delete;
  recordset_guard &operator=(const recordset_guard &) = delete;
  // Takes the result of the last statement; 0 on success.
  int create() { return db_->db_create_recordset(db_, &rs_); }
  recordset *get() { return &rs_; }
  recordset *operator->() { return &rs_; }

 private:
  ml_db_obj *db_;
  recordset rs_;
};

#include <pthread.h>

#include <atomic>
#include <cstdint>

// Connects obj, retrying every 100 ms until it succeeds; each attempt holds
// connect_lock (the daemon's db_connect_lock; null: no lock). Prints the
// debug line "Connect database failed" of the connecting operation op after
// each failure. 0 when connected; -1 when stop (may be null) became non-zero
// first, so that a worker whose database is unreachable still ends when the
// daemon stops.
int ml_db_connect_retry(ml_db_obj *obj, pthread_mutex_t *connect_lock,
                        const std::atomic<uint32_t> *stop, const char *op);

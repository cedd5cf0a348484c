// Learning database library: one ml_db_obj per thread, its operations as
// function pointers, query results as record sets read with mysql_fetch_row.
// Built on MariaDB Connector/C.
//
// An ml_db_obj is not thread-safe: each thread fills and uses its own.
// Connection settings come from the environment (read at each connect):
//   MLDB_HOST (127.0.0.1), MLDB_PORT (3306), MLDB_SOCKET (unset: when set, the
//   unix socket is used instead of host and port), MLDB_USER (ml_daemon),
//   MLDB_PASSWORD (ml_daemon), MLDB_WAIT_SECONDS (60, ml_daemon_wait_dbconnect).
// A connection is opened without a default database: statements name their
// tables as database.table.
#pragma once

#include <mysql.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>

struct ml_db_state;  // the library's own per-object state

// The result of the last statement of an object, handed to the caller.
// Zeroed by the caller before db_create_recordset; released with
// db_free_recordset, which takes the record set, not the object.
struct recordset {
  uint32_t row_count;
  uint32_t field_count;
  MYSQL_RES *result;
  void *reserved;
};
static_assert(sizeof(recordset) == 24);
static_assert(offsetof(recordset, field_count) == 4);
static_assert(offsetof(recordset, result) == 8);

struct ml_db_obj {
  MYSQL *conn;         // the connection; null until db_connect succeeds
  ml_db_state *state;  // the library's own; the daemon never touches it
  // 0 on success. Opens the connection (closing an earlier one first); the
  // caller holds the process's connect lock. Within
  // ML_DB_CONNECT_PAUSE_SECONDS of this object's last failed attempt it fails
  // at once without trying.
  int (*db_connect)(ml_db_obj *obj);
  // 0 on success: one statement. A result set is kept for db_create_recordset;
  // an unclaimed one is released by the next statement. Outside a transaction
  // a lost connection is reopened once and the statement retried.
  int (*db_execute)(ml_db_obj *obj, const char *sql);
  // 0 on success; opens the connection again first when it was lost.
  int (*db_begin_trans)(ml_db_obj *obj);
  // 0 on success. A failed commit leaves no transaction open. Fails (after a
  // rollback and one line on stderr) when the server ended the transaction
  // during any of its statements, examined by the caller or not: a deadlock
  // victim (1213), a lock wait time-out (1205), a lost connection. Statements
  // run after such an end fail without reaching the server.
  int (*db_commit)(ml_db_obj *obj);
  // Rolls back the open transaction; result not meaningful.
  int (*db_rollback)(ml_db_obj *obj);
  // Closes the connection and releases the library's state; the object can be
  // connected again afterwards.
  void (*db_close)(ml_db_obj *obj);
  // 0 when the last statement produced a result set, which now belongs to rs.
  int (*db_create_recordset)(ml_db_obj *obj, recordset *rs);
  // Releases rs's result; rs may then be reused. Null is ignored.
  void (*db_free_recordset)(recordset *rs);
};
static_assert(sizeof(ml_db_obj) == 80);
static_assert(offsetof(ml_db_obj, db_connect) == 16);
static_assert(offsetof(ml_db_obj, db_free_recordset) == 72);

// The lock that serialises connects across the process. The library takes it
// around its own reconnects (a statement or db_begin_trans finding the
// connection lost or missing); db_connect does not take it: its caller holds
// it, as the daemon does with db_connect_lock. Set it once at start, before
// any thread uses the library; null restores the library's own lock.
void mldb_set_connect_lock(pthread_mutex_t *lock);

// 0 when obj holds a usable connection (outside a transaction), reopening a
// lost or missing one first with one paced attempt under the connect lock;
// -1 while the server cannot be reached (or obj is null or not initialised).
// For callers that would rather keep their work than start it on a dead server.
int mldb_ready(ml_db_obj *obj);

// Seconds between two connect attempts of one object while they fail: a
// further attempt within this time fails at once, without trying, so a dead
// server costs each thread at most one connect time-out per pause. A library
// reconnect that waited for the lock while another object's attempt failed
// fails too, without an attempt of its own.
constexpr int ML_DB_CONNECT_PAUSE_SECONDS = 1;

// Fills obj with the operations and no connection. 0, or -1 for a null obj.
int init_ml_db_obj(ml_db_obj *obj);

// Sample tables are sharded by argument: ML_SAMPLE_SHARDS pairs per database,
// "ml_sample_NN" and "ml_sample_tmp_NN" with NN = arg_id mod ML_SAMPLE_SHARDS.
// scripts/mldb-provision creates the same number.
constexpr unsigned ML_SAMPLE_SHARDS = 16;
constexpr size_t ML_TABLE_NAME_LEN = 64;

// Writes the sample table (name0) and temporary sample table (name1) of
// arg_id into caller-zeroed 64-byte buffers; name2 (may be null) gets "".
// 0, or -1 when name0 or name1 is null.
int get_sample_table_names(int arg_id, char *name0, char *name1, char *name2);

// Waits until the learning database accepts a connection, retrying every
// 100 ms for at most MLDB_WAIT_SECONDS. 0 when it answered; -1 after a line on
// stderr naming the program, the server and the last error.
int ml_daemon_wait_dbconnect(const char *progname);

// The connection settings in force, for messages: "host:port" or the socket.
const char *mldb_endpoint(char *buf, size_t cap);

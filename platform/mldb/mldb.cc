// Learning database library on MariaDB Connector/C.
//
// Each object keeps a small state next to its connection: the result set of
// the last statement (stored at once, so the connection is never left with
// unread rows when a caller skips the record set), whether a transaction is
// open, and whether the connection was lost. A lost connection is reopened
// lazily: by the next statement when no transaction is open, by the next
// db_begin_trans otherwise, so a transaction is never silently continued on
// a fresh connection that knows nothing of it.
//
// Connects are serialised across the process by one lock (the daemon hands
// in its db_connect_lock with mldb_set_connect_lock) and paced per object:
// after a failed attempt the next second's calls fail at once, so a server
// that is down costs a thread one connect time-out per second at most
// instead of one per statement. A reconnect that waited for the lock while
// another thread's attempt failed takes that failure as its own, so threads
// do not queue one time-out each behind the lock.
//
// The client character set is latin1: every byte is a valid character, so
// mysql_real_escape_string and the VARBINARY columns keep values byte for
// byte whatever they hold.
#include "platform/mldb/mldb.h"

#include <errmsg.h>
#include <mysqld_error.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

struct ml_db_state {
  MYSQL_RES *pending;  // result of the last statement, not yet claimed
  bool in_trans;
  bool lost;
  // The server ended the open transaction (deadlock victim, lock wait
  // time-out, lost connection); why, for the commit's refusal line.
  bool ended;
  unsigned ended_errno;
  char ended_text[160];
  // When this object's last connect attempt failed (pacing); unset after a
  // success.
  bool failed;
  std::chrono::steady_clock::time_point failed_at;
};

namespace {

const char *env_or(const char *name, const char *fallback) {
  const char *v = getenv(name);
  return v && *v ? v : fallback;
}

struct Settings {
  const char *host, *user, *password, *socket;
  unsigned port;
};

Settings settings() {
  Settings s;
  s.host = env_or("MLDB_HOST", "127.0.0.1");
  s.user = env_or("MLDB_USER", "ml_daemon");
  s.password = env_or("MLDB_PASSWORD", "ml_daemon");
  s.socket = getenv("MLDB_SOCKET");
  if (s.socket && !*s.socket) s.socket = nullptr;
  s.port = static_cast<unsigned>(atoi(env_or("MLDB_PORT", "3306")));
  return s;
}

// The client library sets SIGPIPE to be ignored when it starts. Where the
// process had left it at its default that is what we want too (a server
// gone mid-write must not end the process), but a handler of the host
// program's own is put back.
void library_init() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction host = {};
    const bool known = sigaction(SIGPIPE, nullptr, &host) == 0;
    mysql_library_init(0, nullptr, nullptr);
    if (known && host.sa_handler != SIG_DFL) sigaction(SIGPIPE, &host, nullptr);
  });
}

// Opens a connection with the current settings; null with the error text in err.
MYSQL *open_connection(char *err, size_t cap) {
  library_init();
  MYSQL *m = mysql_init(nullptr);
  if (!m) {
    snprintf(err, cap, "out of memory");
    return nullptr;
  }
  // Bounded waits, so a server that stops answering fails a statement instead
  // of hanging the thread that runs it.
  // MLDB_TIMEOUT (seconds) bounds all three for a caller on a request path.
  const unsigned bound = static_cast<unsigned>(atoi(env_or("MLDB_TIMEOUT", "0")));
  unsigned connect_timeout = bound ? bound : 3, io_timeout = bound ? bound : 30;
  mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &io_timeout);
  mysql_options(m, MYSQL_OPT_WRITE_TIMEOUT, &io_timeout);
  mysql_options(m, MYSQL_SET_CHARSET_NAME, "latin1");
  Settings s = settings();
  if (!mysql_real_connect(m, s.socket ? nullptr : s.host, s.user, s.password, nullptr,
                          s.socket ? 0 : s.port, s.socket, 0)) {
    snprintf(err, cap, "%s", mysql_error(m));
    mysql_close(m);
    return nullptr;
  }
  return m;
}

bool connection_lost(MYSQL *m) {
  unsigned e = mysql_errno(m);
  return e == CR_SERVER_GONE_ERROR || e == CR_SERVER_LOST || e == CR_CONNECTION_ERROR ||
         e == CR_CONN_HOST_ERROR;
}

ml_db_state *state_of(ml_db_obj *obj) {
  if (!obj->state) obj->state = static_cast<ml_db_state *>(calloc(1, sizeof(ml_db_state)));
  return obj->state;
}

void clear_transaction(ml_db_state *st) {
  st->in_trans = false;
  st->ended = false;
  st->ended_errno = 0;
  st->ended_text[0] = '\0';
}

void drop_pending(ml_db_state *st) {
  if (st->pending) {
    mysql_free_result(st->pending);
    st->pending = nullptr;
  }
}

void close_connection(ml_db_obj *obj) {
  if (obj->state) drop_pending(obj->state);
  if (obj->conn) {
    mysql_close(obj->conn);
    obj->conn = nullptr;
  }
}

using Clock = std::chrono::steady_clock;
std::atomic<pthread_mutex_t *> g_connect_lock{nullptr};
pthread_mutex_t g_own_connect_lock = PTHREAD_MUTEX_INITIALIZER;
// When the last reconnect of any object failed; written under the lock.
std::atomic<Clock::time_point> g_connect_failed_at{};

// True while a failed attempt is younger than the pause: a dead server then
// costs nothing more than this test until the pause is over.
bool connect_paused(const ml_db_state *st) {
  return st->failed && std::chrono::steady_clock::now() - st->failed_at <
                           std::chrono::seconds(ML_DB_CONNECT_PAUSE_SECONDS);
}

int op_connect(ml_db_obj *obj) {
  if (!obj) return -1;
  ml_db_state *st = state_of(obj);
  if (!st || connect_paused(st)) return -1;
  close_connection(obj);
  clear_transaction(st);
  st->lost = false;
  char err[512];
  obj->conn = open_connection(err, sizeof err);
  st->failed = !obj->conn;
  if (st->failed) st->failed_at = std::chrono::steady_clock::now();
  return obj->conn ? 0 : -1;
}

// The library's own reconnect: one paced attempt under the process's connect
// lock. A lock that cannot be taken is a failure, not an attempt.
int reconnect(ml_db_obj *obj) {
  ml_db_state *st = state_of(obj);
  if (!st || connect_paused(st)) return -1;
  pthread_mutex_t *lock = g_connect_lock.load();
  if (!lock) lock = &g_own_connect_lock;
  const auto asked = Clock::now();
  if (pthread_mutex_lock(lock) != 0) return -1;
  int r = -1;
  if (g_connect_failed_at.load() > asked) {
    // Another thread's attempt failed while this one waited for the lock:
    // that answers it too, without a connect time-out of its own.
    st->failed = true;
    st->failed_at = Clock::now();
  } else {
    r = op_connect(obj);
    if (r != 0) g_connect_failed_at.store(Clock::now());
  }
  pthread_mutex_unlock(lock);
  return r;
}

// A usable connection outside a transaction: reopens a lost or missing one.
bool ready_outside_trans(ml_db_obj *obj) {
  if (obj->conn && !obj->state->lost) return true;
  return reconnect(obj) == 0;
}

// Errors after which the open transaction is gone, or must be treated as
// gone: InnoDB rolled a deadlock victim back already, and after a lock wait
// time-out the transaction holds only part of what its caller meant to store.
bool ends_transaction(MYSQL *m) {
  unsigned e = mysql_errno(m);
  return e == ER_LOCK_DEADLOCK || e == ER_LOCK_WAIT_TIMEOUT || connection_lost(m);
}

// Notes a failed statement: a lost connection, and inside a transaction
// whether the server ended it, so that the commit fails even when the
// caller never looked at this statement's result.
void note_failure(ml_db_obj *obj) {
  ml_db_state *st = obj->state;
  if (connection_lost(obj->conn)) st->lost = true;
  if (st->in_trans && !st->ended && ends_transaction(obj->conn)) {
    st->ended = true;
    st->ended_errno = mysql_errno(obj->conn);
    snprintf(st->ended_text, sizeof st->ended_text, "%s", mysql_error(obj->conn));
  }
}

int run_query(ml_db_obj *obj, const char *sql) {
  ml_db_state *st = obj->state;
  if (mysql_real_query(obj->conn, sql, strlen(sql)) != 0) {
    note_failure(obj);
    return -1;
  }
  if (mysql_field_count(obj->conn) > 0) {
    st->pending = mysql_store_result(obj->conn);
    if (!st->pending) {
      note_failure(obj);
      return -1;
    }
  }
  return 0;
}

int op_execute(ml_db_obj *obj, const char *sql) {
  if (!obj || !sql || !state_of(obj)) return -1;
  ml_db_state *st = obj->state;
  drop_pending(st);
  if (st->in_trans) {
    // Inside a transaction only the connection that holds it will do, and
    // only while the server still holds it: after its end a statement would
    // run, and be kept, on its own.
    if (!obj->conn || st->lost || st->ended) return -1;
    return run_query(obj, sql);
  }
  if (!ready_outside_trans(obj)) return -1;
  if (run_query(obj, sql) == 0) return 0;
  if (!st->lost) return -1;
  // The server went away between two statements: one fresh attempt.
  if (reconnect(obj) != 0) return -1;
  return run_query(obj, sql);
}

int op_begin_trans(ml_db_obj *obj) {
  if (!obj || !state_of(obj)) return -1;
  ml_db_state *st = obj->state;
  drop_pending(st);
  if (st->in_trans && obj->conn && !st->lost) mysql_rollback(obj->conn);
  clear_transaction(st);
  if (!ready_outside_trans(obj)) return -1;
  if (run_query(obj, "START TRANSACTION") != 0) {
    if (!st->lost || reconnect(obj) != 0 || run_query(obj, "START TRANSACTION") != 0) return -1;
  }
  st->in_trans = true;
  return 0;
}

// Refuses the commit of a transaction the server ended: rolls back what the
// connection may still hold and says why once.
int refuse_commit(ml_db_obj *obj) {
  ml_db_state *st = obj->state;
  if (obj->conn && !st->lost) mysql_rollback(obj->conn);
  fprintf(stderr, "mldb: commit refused, the server ended the transaction: %u %s\n",
          st->ended_errno, st->ended_text);
  clear_transaction(st);
  return -1;
}

int op_commit(ml_db_obj *obj) {
  if (!obj || !obj->state) return -1;
  ml_db_state *st = obj->state;
  drop_pending(st);
  if (st->ended) return refuse_commit(obj);
  clear_transaction(st);
  if (!obj->conn || st->lost) return -1;
  if (mysql_commit(obj->conn) != 0) {
    if (connection_lost(obj->conn)) st->lost = true;
    return -1;
  }
  return 0;
}

int op_rollback(ml_db_obj *obj) {
  if (!obj || !obj->state) return -1;
  ml_db_state *st = obj->state;
  drop_pending(st);
  clear_transaction(st);
  if (!obj->conn || st->lost) return -1;
  if (mysql_rollback(obj->conn) != 0) {
    if (connection_lost(obj->conn)) st->lost = true;
    return -1;
  }
  return 0;
}

void op_close(ml_db_obj *obj) {
  if (!obj) return;
  close_connection(obj);
  free(obj->state);
  obj->state = nullptr;
}

int op_create_recordset(ml_db_obj *obj, recordset *rs) {
  if (!obj || !rs || !obj->state || !obj->state->pending) return -1;
  MYSQL_RES *res = obj->state->pending;
  obj->state->pending = nullptr;
  rs->result = res;
  rs->row_count = static_cast<uint32_t>(mysql_num_rows(res));
  rs->field_count = mysql_num_fields(res);
  return 0;
}

void op_free_recordset(recordset *rs) {
  if (!rs || !rs->result) return;
  mysql_free_result(rs->result);
  rs->result = nullptr;
  rs->row_count = 0;
  rs->field_count = 0;
}

}  // namespace

void mldb_set_connect_lock(pthread_mutex_t *lock) { g_connect_lock.store(lock); }

int mldb_ready(ml_db_obj *obj) {
  if (!obj || !obj->state) return -1;
  return ready_outside_trans(obj) ? 0 : -1;
}

int init_ml_db_obj(ml_db_obj *obj) {
  if (!obj) return -1;
  library_init();
  obj->conn = nullptr;
  obj->state = nullptr;
  obj->db_connect = op_connect;
  obj->db_execute = op_execute;
  obj->db_begin_trans = op_begin_trans;
  obj->db_commit = op_commit;
  obj->db_rollback = op_rollback;
  obj->db_close = op_close;
  obj->db_create_recordset = op_create_recordset;
  obj->db_free_recordset = op_free_recordset;
  return 0;
}

int get_sample_table_names(int arg_id, char *name0, char *name1, char *name2) {
  if (!name0 || !name1) return -1;
  unsigned shard = static_cast<unsigned>(arg_id) % ML_SAMPLE_SHARDS;
  snprintf(name0, ML_TABLE_NAME_LEN, "ml_sample_%02u", shard);
  snprintf(name1, ML_TABLE_NAME_LEN, "ml_sample_tmp_%02u", shard);
  if (name2) name2[0] = '\0';
  return 0;
}

const char *mldb_endpoint(char *buf, size_t cap) {
  Settings s = settings();
  if (s.socket)
    snprintf(buf, cap, "%s", s.socket);
  else
    snprintf(buf, cap, "%s:%u", s.host, s.port);
  return buf;
}

int ml_daemon_wait_dbconnect(const char *progname) {
  int seconds = atoi(env_or("MLDB_WAIT_SECONDS", "60"));
  if (seconds < 0) seconds = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  char err[512] = "";
  for (;;) {
    if (MYSQL *m = open_connection(err, sizeof err)) {
      mysql_close(m);
      return 0;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  char where[256];
  fprintf(stderr, "%s: learning database at %s not reachable after %d s: %s\n",
          progname ? progname : "ml_daemon", mldb_endpoint(where, sizeof where), seconds, err);
  return -1;
}

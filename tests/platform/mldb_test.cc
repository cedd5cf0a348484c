// Learning database library against the real MariaDB.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mysql.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "services/mldb.h"
#include "tests/testutil/testutil.h"

namespace {

class MldbTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dbname_ = "mlt_mldb_" + std::to_string(mlt::unique_id());
    mlt::provision_db(dbname_);
  }
  static void TearDownTestSuite() { mlt::drop_db(dbname_); }

  void SetUp() override {
    init_ml_db_obj(&db_);
    ASSERT_EQ(db_.db_connect(&db_), 0);
  }
  void TearDown() override { db_.db_close(&db_); }

  int exec(const std::string &sql) { return db_.db_execute(&db_, sql.c_str()); }

  // The single number a "select count(*)" gives, or -1.
  long count(const std::string &where) {
    if (exec("select count(*) from " + dbname_ + ".ml_sample_03 where " + where) != 0) return -1;
    recordset_guard rs(&db_);
    if (rs.create() != 0 || rs->row_count != 1) return -1;
    MYSQL_ROW row = mysql_fetch_row(rs->result);
    return atol(row[0]);
  }

  static std::string dbname_;
  ml_db_obj db_{};
};
std::string MldbTest::dbname_;

TEST_F(MldbTest, StatementsTransactionsAndRecordSets) {
  const std::string t = dbname_ + ".ml_sample_03";
  ASSERT_EQ(exec("insert into " + t + " (arg_id, sample_str, pattern) values (3, 'a', '1')"), 0);
  EXPECT_NE(db_.db_create_recordset(&db_, nullptr), 0);

  ASSERT_EQ(db_.db_begin_trans(&db_), 0);
  ASSERT_EQ(exec("insert into " + t + " (arg_id, sample_str, pattern) values (3, 'b', '2')"), 0);
  db_.db_rollback(&db_);
  EXPECT_EQ(count("arg_id=3"), 1);

  ASSERT_EQ(db_.db_begin_trans(&db_), 0);
  ASSERT_EQ(exec("insert into " + t + " (arg_id, sample_str, pattern) values (3, 'c', '3')"), 0);
  ASSERT_EQ(db_.db_commit(&db_), 0);
  EXPECT_EQ(count("arg_id=3"), 2);

  // A duplicate pattern is refused by the unique key.
  EXPECT_NE(exec("insert into " + t + " (arg_id, sample_str, pattern) values (3, 'x', '3')"), 0);

  ASSERT_EQ(exec("select sample_str, pattern, pattern_count from " + t +
                 " where arg_id=3 order by pattern"),
            0);
  recordset rs{};
  ASSERT_EQ(db_.db_create_recordset(&db_, &rs), 0);
  EXPECT_EQ(rs.row_count, 2u);
  EXPECT_EQ(rs.field_count, 3u);
  MYSQL_ROW row = mysql_fetch_row(rs.result);
  EXPECT_STREQ(row[0], "a");
  EXPECT_STREQ(row[2], "1");
  db_.db_free_recordset(&rs);
  EXPECT_EQ(rs.result, nullptr);
  db_.db_free_recordset(&rs);  // twice is harmless

  // A result nobody claims does not put the connection out of step.
  ASSERT_EQ(exec("select * from " + t), 0);
  EXPECT_EQ(count("arg_id=3"), 2);

  EXPECT_NE(exec("select * from " + dbname_ + ".no_such_table"), 0);
  EXPECT_EQ(count("arg_id=3"), 2);
}

// The server ending our session: outside a transaction the next statement
// reconnects by itself; inside one the transaction fails and the next
// transaction starts on a fresh connection.
TEST_F(MldbTest, LostConnectionsAreReopenedOutsideTransactionsOnly) {
  ml_db_obj admin{};
  init_ml_db_obj(&admin);
  ASSERT_EQ(admin.db_connect(&admin), 0);
  auto kill_db = [&] {
    std::string id = std::to_string(mysql_thread_id(db_.conn));
    ASSERT_EQ(admin.db_execute(&admin, ("KILL CONNECTION " + id).c_str()), 0);
  };

  kill_db();
  EXPECT_EQ(count("1=1"), count("1=1"));
  EXPECT_GE(count("1=1"), 0);

  ASSERT_EQ(db_.db_begin_trans(&db_), 0);
  kill_db();
  EXPECT_NE(exec("insert into " + dbname_ +
                 ".ml_sample_03 (arg_id, sample_str, pattern) values (5, 'z', 'z')"),
            0);
  EXPECT_NE(exec("select 1"), 0);  // still inside the lost transaction
  db_.db_rollback(&db_);
  ASSERT_EQ(db_.db_begin_trans(&db_), 0);
  ASSERT_EQ(exec("insert into " + dbname_ +
                 ".ml_sample_03 (arg_id, sample_str, pattern) values (5, 'z', 'z')"),
            0);
  ASSERT_EQ(db_.db_commit(&db_), 0);
  EXPECT_EQ(count("arg_id=5"), 1);
  admin.db_close(&admin);
}

// A transaction the server ended (deadlock victim, lock wait time-out, killed
// connection) must fail its commit even when the statement that met the end
// went unexamined, and nothing of it may be stored, not even statements run
// after the end (the server would otherwise run them in autocommit).
TEST_F(MldbTest, ServerEndedTransactionsFailTheirCommit) {
  const std::string t = dbname_ + ".ended";
  ASSERT_EQ(exec("create table " + t + " (id int primary key, v int) engine=InnoDB"), 0);
  ASSERT_EQ(exec("insert into " + t + " values (1, 0), (2, 0)"), 0);
  ml_db_obj other{}, watch{};
  init_ml_db_obj(&other);
  init_ml_db_obj(&watch);
  ASSERT_EQ(other.db_connect(&other), 0);
  ASSERT_EQ(watch.db_connect(&watch), 0);
  auto run = [](ml_db_obj *db, const std::string &sql) { db->db_execute(db, sql.c_str()); };
  auto rows = [&](const std::string &where) {
    std::string sql = "select count(*) from " + t + " where " + where;
    if (watch.db_execute(&watch, sql.c_str()) != 0) return -1L;
    recordset_guard rs(&watch);
    if (rs.create() != 0 || rs->row_count != 1) return -1L;
    return atol(mysql_fetch_row(rs->result)[0]);
  };
  // True once db's connection is inside a statement (waiting for a lock).
  auto waiting = [&](ml_db_obj *db) {
    std::string sql = "select count(*) from information_schema.processlist where id=" +
                      std::to_string(mysql_thread_id(db->conn)) + " and command='Query'";
    if (watch.db_execute(&watch, sql.c_str()) != 0) return false;
    recordset_guard rs(&watch);
    return rs.create() == 0 && rs->row_count == 1 && atol(mysql_fetch_row(rs->result)[0]) == 1;
  };

  // Deadlock: each holds one row and asks for the other's; results ignored.
  ASSERT_EQ(db_.db_begin_trans(&db_), 0);
  ASSERT_EQ(other.db_begin_trans(&other), 0);
  run(&db_, "update " + t + " set v=1 where id=1");
  run(&other, "update " + t + " set v=2 where id=2");
  std::thread blocked([&] { run(&other, "update " + t + " set v=2 where id=1"); });
  ASSERT_TRUE(mlt::wait_until([&] { return waiting(&other); }));
  run(&db_, "update " + t + " set v=1 where id=2");
  blocked.join();
  run(&db_, "insert into " + t + " values (11, 1)");
  run(&other, "insert into " + t + " values (12, 2)");
  const int mine = db_.db_commit(&db_), theirs = other.db_commit(&other);
  EXPECT_TRUE((mine == 0) != (theirs == 0)) << mine << " " << theirs;
  const int winner = mine == 0 ? 1 : 2;
  EXPECT_EQ(rows("v=" + std::to_string(winner)), 3);  // both rows and its marker
  EXPECT_EQ(rows("id>10"), 1);                        // the victim's marker is nowhere

  // Lock wait time-out: the statement fails, the transaction must not commit.
  ASSERT_EQ(exec("set session innodb_lock_wait_timeout=1"), 0);
  ASSERT_EQ(other.db_begin_trans(&other), 0);
  run(&other, "update " + t + " set v=5 where id=1");
  ASSERT_EQ(db_.db_begin_trans(&db_), 0);
  run(&db_, "update " + t + " set v=6 where id=1");
  run(&db_, "insert into " + t + " values (13, 6)");
  EXPECT_NE(db_.db_commit(&db_), 0);
  EXPECT_EQ(other.db_commit(&other), 0);
  EXPECT_EQ(rows("id=13 or v=6"), 0);

  // The connection killed inside the transaction.
  ASSERT_EQ(db_.db_begin_trans(&db_), 0);
  run(&db_, "insert into " + t + " values (14, 7)");
  ASSERT_EQ(watch.db_execute(
                &watch, ("KILL CONNECTION " + std::to_string(mysql_thread_id(db_.conn))).c_str()),
            0);
  run(&db_, "insert into " + t + " values (15, 7)");
  EXPECT_NE(db_.db_commit(&db_), 0);
  EXPECT_EQ(rows("v=7"), 0);

  // Each failure closed its transaction: the next one works.
  ASSERT_EQ(db_.db_begin_trans(&db_), 0);
  run(&db_, "insert into " + t + " values (16, 8)");
  EXPECT_EQ(db_.db_commit(&db_), 0);
  EXPECT_EQ(rows("v=8"), 1);
  other.db_close(&other);
  watch.db_close(&watch);
}

// The library's own reconnects take the connect lock the process handed it.
// An error-checking mutex held by the calling thread makes a second lock fail
// at once instead of blocking, which shows without any timing that the lock
// is taken, and that a connect is not attempted without it.
TEST_F(MldbTest, ReconnectsTakeTheProcessConnectLock) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_t lock;
  pthread_mutex_init(&lock, &attr);
  // Handed back however the test ends: later tests must not meet this lock.
  struct LockGuard {
    pthread_mutex_t *lock;
    explicit LockGuard(pthread_mutex_t *l) : lock(l) { mldb_set_connect_lock(l); }
    ~LockGuard() {
      mldb_set_connect_lock(nullptr);
      pthread_mutex_destroy(lock);
    }
  } guard(&lock);
  ml_db_obj admin{};
  init_ml_db_obj(&admin);
  ASSERT_EQ(admin.db_connect(&admin), 0);
  auto kill_db = [&] {
    std::string id = std::to_string(mysql_thread_id(db_.conn));
    ASSERT_EQ(admin.db_execute(&admin, ("KILL CONNECTION " + id).c_str()), 0);
  };

  const unsigned long before = mysql_thread_id(db_.conn);
  kill_db();
  ASSERT_EQ(pthread_mutex_lock(&lock), 0);
  EXPECT_NE(exec("select 1"), 0);  // the reconnect needed the lock we hold
  EXPECT_NE(db_.db_begin_trans(&db_), 0);
  ASSERT_EQ(pthread_mutex_unlock(&lock), 0);
  EXPECT_EQ(exec("select 1"), 0);  // a refused lock is not a failed attempt: no pause
  EXPECT_NE(mysql_thread_id(db_.conn), before);

  kill_db();
  ASSERT_EQ(pthread_mutex_lock(&lock), 0);
  EXPECT_NE(db_.db_begin_trans(&db_), 0);
  ASSERT_EQ(pthread_mutex_unlock(&lock), 0);
  EXPECT_EQ(db_.db_begin_trans(&db_), 0);
  db_.db_rollback(&db_);

  pthread_mutexattr_destroy(&attr);
  admin.db_close(&admin);
}

TEST(MldbTables, NamesAreShardedByArgument) {
  char n0[64] = {}, n1[64] = {}, n2[64] = {'x'};
  ASSERT_EQ(get_sample_table_names(0, n0, n1, n2), 0);
  EXPECT_STREQ(n0, "ml_sample_00");
  EXPECT_STREQ(n1, "ml_sample_tmp_00");
  EXPECT_STREQ(n2, "");
  ASSERT_EQ(get_sample_table_names(17, n0, n1, nullptr), 0);
  EXPECT_STREQ(n0, "ml_sample_01");
  EXPECT_STREQ(n1, "ml_sample_tmp_01");
  ASSERT_EQ(get_sample_table_names(-1, n0, n1, nullptr), 0);  // negative ids still map
  EXPECT_STREQ(n0, "ml_sample_15");
  EXPECT_EQ(get_sample_table_names(1, nullptr, n1, nullptr), -1);
}

TEST(MldbWait, AnsweringServerPassesAndADeadOneFailsAfterTheBoundedWait) {
  EXPECT_EQ(ml_daemon_wait_dbconnect("mldb_test"), 0);

  setenv("MLDB_PORT", "1", 1);  // nothing listens there
  setenv("MLDB_WAIT_SECONDS", "1", 1);
  testing::internal::CaptureStderr();
  auto start = std::chrono::steady_clock::now();
  EXPECT_NE(ml_daemon_wait_dbconnect("mldb_test"), 0);
  auto took = std::chrono::steady_clock::now() - start;
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("MLDB_PORT");
  unsetenv("MLDB_WAIT_SECONDS");
  EXPECT_GE(took, std::chrono::seconds(1));
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_NE(err.find("mldb_test: learning database at 127.0.0.1:1 not reachable after 1 s"),
            std::string::npos)
      << err;

  ml_db_obj db{};
  setenv("MLDB_PORT", "1", 1);
  init_ml_db_obj(&db);
  EXPECT_NE(db.db_connect(&db), 0);
  EXPECT_NE(db.db_execute(&db, "select 1"), 0);
  EXPECT_NE(db.db_begin_trans(&db), 0);
  db.db_close(&db);
  unsetenv("MLDB_PORT");
}

// A server that accepts the socket but never greets costs a whole connect
// time-out per attempt. Attempts are paced per object: after a failure the
// calls of the next second fail at once without trying again, and once the
// pause is over one more attempt is made.
TEST(MldbWait, ConnectAttemptsToADeadServerArePaced) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 64), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
  fcntl(listener, F_SETFL, O_NONBLOCK);
  // Accepted sockets stay open and silent until the end, so a client that is
  // counted still waits for a greeting that never comes.
  std::vector<int> accepted;
  auto count_attempts = [&] {
    for (int fd; (fd = accept(listener, nullptr, nullptr)) >= 0;) accepted.push_back(fd);
    return static_cast<int>(accepted.size());
  };

  setenv("MLDB_PORT", std::to_string(ntohs(addr.sin_port)).c_str(), 1);
  struct PortGuard {
    ~PortGuard() { unsetenv("MLDB_PORT"); }
  } port_guard;
  ml_db_obj db{};
  init_ml_db_obj(&db);
  EXPECT_NE(db.db_connect(&db), 0);  // waits out the connect time-out once
  EXPECT_NE(db.db_execute(&db, "select 1"), 0);
  EXPECT_NE(db.db_begin_trans(&db), 0);
  EXPECT_NE(db.db_connect(&db), 0);
  EXPECT_EQ(count_attempts(), 1);
  EXPECT_TRUE(mlt::wait_until(
      [&] {
        db.db_execute(&db, "select 1");
        return count_attempts() >= 2;
      },
      std::chrono::seconds(20)));
  EXPECT_EQ(count_attempts(), 2);
  db.db_close(&db);

  // Threads queued behind an attempt that fails do not each wait out a time-out
  // of their own: the failure they waited for answers them.
  ml_db_obj first{}, second{};
  init_ml_db_obj(&first);
  init_ml_db_obj(&second);
  std::thread a([&] { EXPECT_NE(first.db_execute(&first, "select 1"), 0); });
  ASSERT_TRUE(mlt::wait_until([&] { return count_attempts() == 3; }));
  std::thread b([&] { EXPECT_NE(second.db_execute(&second, "select 1"), 0); });
  a.join();
  b.join();
  EXPECT_EQ(count_attempts(), 3);
  first.db_close(&first);
  second.db_close(&second);
  for (int fd : accepted) close(fd);
  unsetenv("MLDB_PORT");
  close(listener);
}

}  // namespace

// The operator scripts: what they do to the shared services and the SQL they
// generate, run against the real MariaDB; system tools that must not really
// run (apt-get, service) are replaced on PATH by recorders.
#include <gtest/gtest.h>
#include <mysql.h>
#include <stdlib.h>

#include <string>

#include "platform/mldb/mldb.h"
#include "tests/testutil/testutil.h"

namespace {

bool mariadb_answers() {
  ml_db_obj db{};
  init_ml_db_obj(&db);
  bool up = db.db_connect(&db) == 0;
  db.db_close(&db);
  return up;
}

std::string admin_cli() {
  const std::string sock = mlt::admin_socket();
  std::string how =
      sock.empty() ? "--protocol=tcp -h 127.0.0.1 -P 3306" : "--protocol=socket -S " + sock;
  const std::string pw = mlt::admin_password().empty() ? "" : " -p'" + mlt::admin_password() + "'";
  return "mariadb " + how + " -u " + mlt::admin_user() + pw;
}

// Restores an environment variable on scope exit.
class EnvGuard {
 public:
  EnvGuard(const char *name, const std::string &value) : name_(name) {
    const char *old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~EnvGuard() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char *name_;
  bool had_ = false;
  std::string old_;
};

// A user name and password holding quotes and a backslash must reach MariaDB
// as they are: the daemon then logs in with them, and the SQL the scripts
// build around them stays one statement.
TEST(ServicesScript, QuotesTheUserAndPasswordItPutsIntoSql) {
  if (!mariadb_answers()) GTEST_SKIP() << "MariaDB is not answering";
  mlt::TempDir tmp;
  const std::string id = std::to_string(mlt::unique_id());
  const std::string user = "mlt_q'" + id, password = "p'w\"\\d$x";
  const std::string dbname = "mlt_scripts_" + id;
  // Removing the user needs the same quoting, done here by hand.
  mlt::write_file(tmp / "drop.sql", "DROP USER IF EXISTS 'mlt_q''" + id +
                                        "'@'127.0.0.1', 'mlt_q''" + id + "'@'localhost';\n");
  struct Cleanup {
    std::string cmd, db;
    ~Cleanup() {
      mlt::run(cmd);
      mlt::drop_db(db);
    }
  } cleanup{admin_cli() + " < " + tmp / "drop.sql", dbname};

  EnvGuard u("MLDB_USER", user), p("MLDB_PASSWORD", password);
  // Both servers answer, so start only reuses them and makes the user.
  ASSERT_EQ(mlt::run(mlt::source_dir() + "/scripts/services start >" + tmp / "out" + " 2>&1"), 0)
      << mlt::read_file(tmp / "out");
  EXPECT_NE(mlt::read_file(tmp / "out").find("mariadb: answering"), std::string::npos);
  ASSERT_EQ(mlt::run(mlt::source_dir() + "/scripts/mldb-provision " + dbname + " >" + tmp / "out" +
                     " 2>&1"),
            0)
      << mlt::read_file(tmp / "out");

  ml_db_obj db{};
  init_ml_db_obj(&db);
  ASSERT_EQ(db.db_connect(&db), 0) << "the new user cannot log in";
  EXPECT_EQ(db.db_execute(&db, ("select count(*) from " + dbname + ".ml_sample_00").c_str()), 0);
  db.db_close(&db);
}

// A recorder for a system tool: appends its name and arguments to the log.
void stub(const mlt::TempDir &dir, const std::string &name, const std::string &body) {
  const std::string path = dir / ("bin/" + name);
  mlt::write_file(
      path, "#!/usr/bin/env bash\necho \"" + name + " $*\" >> " + dir / "log" + "\n" + body + "\n");
  mlt::run("chmod +x " + path);
}

// install-deps runs on every CI job and by hand; a system Redis or MariaDB
// that answers may be the very server the private services reuse, so it is
// stopped only in the run that installed it (Debian starts it on install).
TEST(InstallDepsScript, StopsSystemServicesOnlyRightAfterInstallingThem) {
  struct Case {
    std::string missing;
    bool stops_redis, stops_mariadb;
  };
  for (const Case &c :
       {Case{"", false, false}, Case{"redis-server", true, false},
        Case{"mariadb-server", false, true}, Case{"redis-server mariadb-server", true, true}}) {
    mlt::TempDir tmp;
    // dpkg-query's last argument is the package; the listed ones are missing.
    stub(tmp, "dpkg-query",
         "case \" $STUB_MISSING \" in *\" ${!#} \"*) exit 1;; esac\nprintf 'install ok "
         "installed'");
    stub(tmp, "apt-get", "exit 0");
    stub(tmp, "service", "exit 0");  // every service reports itself running
    EnvGuard miss("STUB_MISSING", c.missing);
    EnvGuard path("PATH", tmp / "bin" + ":" + getenv("PATH"));
    ASSERT_EQ(mlt::run(mlt::source_dir() + "/scripts/install-deps"), 0) << c.missing;
    const std::string log = mlt::read_file(tmp / "log");
    EXPECT_EQ(log.find("apt-get install") != std::string::npos, !c.missing.empty()) << log;
    EXPECT_EQ(log.find("service redis-server stop") != std::string::npos, c.stops_redis) << log;
    EXPECT_EQ(log.find("service mariadb stop") != std::string::npos, c.stops_mariadb) << log;
  }
}

}  // namespace

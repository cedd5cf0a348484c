// cmake --install into a private prefix: the programs run from there, the
// installed provisioning script finds the installed schema, the systemd unit
// names the installed daemon and the daemon log is switched on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/testutil/testutil.h"

namespace {

using std::string;

TEST(Install, PrefixHoldsARunnableSetUp) {
  mlt::TempDir prefix, root;
  const string build = mlt::bin_dir() + "/..";
  ASSERT_EQ(mlt::run("ML_DAEMON_ROOT=" + root.path() + " cmake --install " + build + " --prefix " +
                     prefix.path() + " >/dev/null"),
            0);
  // The daemon never makes its log's flag file; the install turns the log on.
  EXPECT_EQ(access((root / "var/log/debug/daemon_log_flag").c_str(), F_OK), 0);
  for (const char *p : {"ml_daemon", "mlctl", "ml_sample_push", "ml_debug_level", "mldb-provision"})
    EXPECT_EQ(access((prefix / "bin/" + p).c_str(), X_OK), 0) << p;
  for (const char *p : {"share/ml_daemon/schema.sql", "share/ml_daemon/schema-common.sql",
                        "share/ml_daemon/mldb.env.example", "include/ml_daemon/verdict.h",
                        "lib/ml_daemon/libmlverdict.a"})
    EXPECT_EQ(access((prefix / p).c_str(), R_OK), 0) << p;
  const string unit = mlt::read_file(prefix / "lib/systemd/system/ml_daemon.service");
  EXPECT_NE(unit.find("\nExecStart=" + prefix.path() + "/bin/ml_daemon\n"), string::npos) << unit;
  EXPECT_NE(unit.find("\nRestart=on-failure\n"), string::npos);
  EXPECT_NE(unit.find("\nEnvironmentFile="), string::npos);
  // The alias finds the mlctl installed beside it.
  EXPECT_EQ(mlt::run("ML_DAEMON_ROOT=" + root.path() + " " + (prefix / "bin/ml_debug_level") +
                     " 3 >" + (root / "out")),
            0);
  EXPECT_EQ(mlt::read_file(root / "out"), "3\n");
  // The installed script provisions from the installed schema (no checkout behind it).
  const string db = "mlt_install_" + std::to_string(mlt::unique_id());
  EXPECT_EQ(mlt::run((prefix / "bin/mldb-provision") + " " + db + " >/dev/null"), 0);
  mlt::drop_db(db);
}

}  // namespace

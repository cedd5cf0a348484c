// Helpers shared by the test suites: paths of the checkout, temporary folders,
// an independent Redis client (plain hiredis, so a test never checks our
// client library with itself), database provisioning and polling with a
// deadline. Tests run against the services of `scripts/services start`.
#pragma once

#include <hiredis/hiredis.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mlt {

std::string source_dir();  // the checkout
std::string bin_dir();     // this build's bin folder

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

void write_file(const std::string &path, const std::string &text);  // makes parent folders
std::string read_file(const std::string &path);                     // "" when missing

struct ReplyFree {
  void operator()(redisReply *r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

// A plain hiredis connection to 127.0.0.1:6379; commands as argument vectors.
class Redis {
 public:
  Redis();
  ~Redis();
  Redis(const Redis &) = delete;
  Redis &operator=(const Redis &) = delete;
  Reply cmd(const std::vector<std::string> &argv);
  long long integer(const std::vector<std::string> &argv);
  std::string str(const std::vector<std::string> &argv);  // "" for nil
  void del_pattern(const std::string &pattern);           // SCAN + DEL
  redisContext *ctx() { return ctx_; }

 private:
  redisContext *ctx_;
};

// Runs a shell command; returns its exit status (-1 when it could not run).
int run(const std::string &command);
// scripts/mldb-provision NAME; asserts success.
void provision_db(const std::string &name);
// Administrative access to MariaDB, as scripts/services has it: root over
// this checkout's private socket when it exists (admin_socket() is then not
// empty), else MLDB_ADMIN_USER / MLDB_ADMIN_PASSWORD (root, none) over TCP.
std::string admin_socket();
std::string admin_user();
std::string admin_password();
// Drops a database made by provision_db.
void drop_db(const std::string &name);

// Polls pred every 10 ms until it holds or timeout passes; returns pred().
bool wait_until(const std::function<bool()> &pred,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A unique number per test process, for keys, ids and database names.
unsigned unique_id();

// Whether out holds the debug line "[func:<line>]\t\"text\"\n" (error: the
// "[ERR]" form of it), whatever the source line.
bool has_debug_line(const std::string &out, const std::string &func, const std::string &text,
                    bool error = false);

}  // namespace mlt

namespace mlt {

// The ml_daemon binary run as a child process, its standard output and error
// going to files of a private root folder (ML_DAEMON_ROOT).
class Daemon {
 public:
  // root: the fixed-path root the daemon runs under; env: extra NAME=VALUE;
  // its output goes to <root>/<tag>.out and <root>/<tag>.err.
  explicit Daemon(const std::string &root, const std::vector<std::string> &env = {},
                  const std::string &tag = "daemon");
  ~Daemon();  // kills a daemon that is still running
  Daemon(const Daemon &) = delete;
  Daemon &operator=(const Daemon &) = delete;

  void signal(int signo);
  bool running();
  // Waits for the exit; the exit status, or -1 on time-out or a signal death.
  int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::string out() const;  // standard output so far
  std::string err() const;  // standard error so far
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_path_, err_path_;
};

// True once `PUBSUB NUMSUB channel` reports at least n subscribers.
bool wait_subscribers(Redis &redis, const std::string &channel, long long n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace mlt

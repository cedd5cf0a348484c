#include "tests/testutil/testutil.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace mlt {

static std::string env_or(const char *name, const char *fallback) {
  const char *v = getenv(name);
  return v && *v ? v : fallback;
}

std::string source_dir() { return env_or("ML_SOURCE_DIR", ML_SOURCE_DIR_DEFAULT); }
std::string bin_dir() { return env_or("ML_BIN_DIR", ML_BIN_DIR_DEFAULT); }

TempDir::TempDir() {
  char templ[] = "/tmp/mld-test-XXXXXX";
  const char *p = mkdtemp(templ);
  if (!p) throw std::runtime_error("mkdtemp failed");
  path_ = p;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void write_file(const std::string &path, const std::string &text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Redis::Redis() {
  struct timeval tv = {5, 0};
  ctx_ = redisConnectWithTimeout("127.0.0.1", 6379, tv);
  if (!ctx_ || ctx_->err) throw std::runtime_error("test redis connection failed");
  redisSetTimeout(ctx_, tv);
}

Redis::~Redis() { redisFree(ctx_); }

Reply Redis::cmd(const std::vector<std::string> &argv) {
  std::vector<const char *> a;
  std::vector<size_t> l;
  for (const auto &s : argv) {
    a.push_back(s.data());
    l.push_back(s.size());
  }
  return Reply(static_cast<redisReply *>(
      redisCommandArgv(ctx_, static_cast<int>(a.size()), a.data(), l.data())));
}

long long Redis::integer(const std::vector<std::string> &argv) {
  Reply r = cmd(argv);
  return r && r->type == REDIS_REPLY_INTEGER ? r->integer : -1;
}

std::string Redis::str(const std::vector<std::string> &argv) {
  Reply r = cmd(argv);
  if (!r || (r->type != REDIS_REPLY_STRING && r->type != REDIS_REPLY_STATUS)) return "";
  return std::string(r->str, r->len);
}

void Redis::del_pattern(const std::string &pattern) {
  std::string cursor = "0";
  do {
    Reply r = cmd({"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"});
    if (!r || r->type != REDIS_REPLY_ARRAY || r->elements != 2) return;
    cursor.assign(r->element[0]->str, r->element[0]->len);
    for (size_t i = 0; i < r->element[1]->elements; i++) {
      const redisReply *k = r->element[1]->element[i];
      cmd({"DEL", std::string(k->str, k->len)});
    }
  } while (cursor != "0");
}

int run(const std::string &command) {
  int rc = system(command.c_str());
  if (rc == -1) return -1;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

void provision_db(const std::string &name) {
  ASSERT_EQ(run(source_dir() + "/scripts/mldb-provision " + name + " >/dev/null"), 0)
      << "provisioning " << name;
}

std::string admin_socket() {
  const std::string sock = source_dir() + "/var/mariadb/mysqld.sock";
  return access(sock.c_str(), F_OK) == 0 ? sock : "";
}
std::string admin_user() {
  return admin_socket().empty() ? env_or("MLDB_ADMIN_USER", "root") : "root";
}
std::string admin_password() {
  return admin_socket().empty() ? env_or("MLDB_ADMIN_PASSWORD", "") : "";
}

void drop_db(const std::string &name) {
  const std::string sock = admin_socket();
  const std::string how =
      sock.empty() ? "--protocol=tcp -h 127.0.0.1 -P 3306" : "--protocol=socket -S " + sock;
  const std::string pw = admin_password().empty() ? "" : " -p'" + admin_password() + "'";
  run("mariadb " + how + " -u " + admin_user() + pw + " -e 'DROP DATABASE IF EXISTS `" + name +
      "`' 2>/dev/null");
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

unsigned unique_id() {
  static const unsigned id = static_cast<unsigned>(getpid()) * 1000u % 1000000000u;
  static unsigned n = 0;
  return id + (n++ % 1000);
}

bool has_debug_line(const std::string &out, const std::string &func, const std::string &text,
                    bool error) {
  const std::string head = (error ? "[ERR][" : "[") + func + ":", tail = "]\t\"" + text + "\"\n";
  for (size_t p = out.find(head); p != std::string::npos; p = out.find(head, p + 1)) {
    if (!error && p >= 5 && out.compare(p - 5, 5, "[ERR]") == 0) continue;
    size_t q = p + head.size();
    while (q < out.size() && out[q] >= '0' && out[q] <= '9') q++;
    if (q > p + head.size() && out.compare(q, tail.size(), tail) == 0) return true;
  }
  return false;
}

}  // namespace mlt

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

namespace mlt {

Daemon::Daemon(const std::string &root, const std::vector<std::string> &env, const std::string &tag)
    : out_path_(root + "/" + tag + ".out"), err_path_(root + "/" + tag + ".err") {
  const std::string bin = bin_dir() + "/ml_daemon";
  pid_ = fork();
  if (pid_ == 0) {
    int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(127);
    dup2(out, 1);
    dup2(err, 2);
    setenv("ML_DAEMON_ROOT", root.c_str(), 1);
    for (const auto &kv : env) putenv(const_cast<char *>(kv.c_str()));
    execl(bin.c_str(), "ml_daemon", static_cast<char *>(nullptr));
    _exit(127);
  }
}

Daemon::~Daemon() {
  if (running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void Daemon::signal(int signo) {
  if (pid_ > 0) kill(pid_, signo);
}

bool Daemon::running() {
  if (pid_ <= 0 || status_ != -1) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == 0) return true;
  status_ = r == pid_ ? st : 0;
  return false;
}

int Daemon::wait_exit(std::chrono::milliseconds timeout) {
  if (!wait_until([this] { return !running(); }, timeout)) return -1;
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::string Daemon::out() const { return read_file(out_path_); }
std::string Daemon::err() const { return read_file(err_path_); }

bool wait_subscribers(Redis &redis, const std::string &channel, long long n,
                      std::chrono::milliseconds timeout) {
  return wait_until(
      [&] {
        Reply r = redis.cmd({"PUBSUB", "NUMSUB", channel});
        return r && r->type == REDIS_REPLY_ARRAY && r->elements == 2 && r->element[1]->integer >= n;
      },
      timeout);
}

}  // namespace mlt

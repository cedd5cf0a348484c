// mlctl: the operator's command line for the learning daemon. Shared pieces
// of the subcommands: parsed options, exit codes, a Redis client that sends
// commands as argument vectors (names and values may hold any byte), and the
// small formatting helpers every listing uses.
#pragma once

#include <hiredis/hiredis.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mlctl {

enum exit_code { kOk = 0, kUsage = 1, kService = 2 };

struct options {
  std::string host = "127.0.0.1";
  int port = 6379;
  bool json = false;
  bool help = false;
  std::string file;               // -f FILE (judge)
  int point = 0;                  // --point definite|potential (judge): MLV_POINT_*
  long grace_ms = 2000;           // --grace MS (policy delete)
  std::vector<std::string> args;  // words after the subcommand
};

// Prints "mlctl CMD: message" and a hint to stderr; returns kUsage.
int usage_error(const char *cmd, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Prints "mlctl CMD: message" to stderr; returns kService.
int service_error(const char *cmd, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Decimal 0..4294967295, nothing else.
bool parse_u32(const std::string &text, uint32_t *out);
// The text as a JSON string literal, quotes included.
std::string json_quote(const std::string &text);
// A double as JSON (null for NaN and infinities).
std::string json_number(double v);

struct reply_free {
  void operator()(redisReply *r) const {
    if (r) freeReplyObject(r);
  }
};
using reply = std::unique_ptr<redisReply, reply_free>;

// One hiredis connection. Not thread-safe; mlctl is single-threaded.
class redis {
 public:
  redis() = default;
  ~redis();
  redis(const redis &) = delete;
  redis &operator=(const redis &) = delete;
  // Connects with a short time-out; false (message in error()) when it fails.
  bool connect(const std::string &host, int port);
  // One command; null when the connection failed (error() says why). An
  // error reply is returned, not turned into null.
  reply cmd(const std::vector<std::string> &argv);
  // Pipelines the commands and collects one reply each; empty on failure.
  std::vector<reply> pipeline(const std::vector<std::vector<std::string>> &cmds);
  const std::string &error() const { return error_; }

 private:
  redisContext *ctx_ = nullptr;
  std::string error_;
};

// Text of element i of an array reply; "" when missing or nil.
std::string elem(const redisReply *r, size_t i);
bool elem_nil(const redisReply *r, size_t i);

// Every key matching pattern (SCAN with a 64-bit cursor). False on failure.
bool scan_keys(redis &r, const std::string &pattern, std::vector<std::string> *keys);

// Subcommands. Each returns the exit status.
int cmd_status(const options &o);
int cmd_policies(const options &o);
int cmd_policy(const options &o);
int cmd_learn(const options &o, bool relearn);
int cmd_model(const options &o);
int cmd_judge(const options &o);
int cmd_debug_level(const options &o);
int cmd_log(const options &o);

// Help text of a subcommand ("" for an unknown name).
const char *help_of(const std::string &cmd);

}  // namespace mlctl

// Helpers shared by the subcommands: messages, number parsing, JSON pieces
// and the hiredis wrapper.
#include <json-c/json.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "tools/mlctl/mlctl.h"

namespace mlctl {
namespace {

void vsay(const char *cmd, const char *fmt, va_list ap) {
  fprintf(stderr, "mlctl %s: ", cmd);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
}

}  // namespace

int usage_error(const char *cmd, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsay(cmd, fmt, ap);
  va_end(ap);
  fprintf(stderr, "(mlctl %s --help shows the usage)\n", cmd);
  return kUsage;
}

int service_error(const char *cmd, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsay(cmd, fmt, ap);
  va_end(ap);
  return kService;
}

bool parse_u32(const std::string &text, uint32_t *out) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  unsigned long long v = strtoull(text.c_str(), nullptr, 10);
  if (v > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

std::string json_quote(const std::string &text) {
  json_object *s = json_object_new_string_len(text.data(), static_cast<int>(text.size()));
  std::string out = json_object_to_json_string_ext(s, JSON_C_TO_STRING_PLAIN);
  json_object_put(s);
  return out;
}

std::string json_number(double v) {
  if (!std::isfinite(v)) return "null";
  char b[64];
  snprintf(b, sizeof b, "%.6f", v);
  return b;
}

redis::~redis() {
  if (ctx_) redisFree(ctx_);
}

bool redis::connect(const std::string &host, int port) {
  const struct timeval timeout = {2, 0};
  ctx_ = redisConnectWithTimeout(host.c_str(), port, timeout);
  if (!ctx_ || ctx_->err) {
    error_ = "cannot connect to Redis at " + host + ":" + std::to_string(port) +
             (ctx_ ? std::string(": ") + ctx_->errstr : "");
    return false;
  }
  redisSetTimeout(ctx_, {10, 0});
  return true;
}

reply redis::cmd(const std::vector<std::string> &argv) {
  auto all = pipeline({argv});
  return all.empty() ? nullptr : std::move(all.front());
}

std::vector<reply> redis::pipeline(const std::vector<std::vector<std::string>> &cmds) {
  std::vector<reply> out;
  if (!ctx_) return out;
  for (const auto &argv : cmds) {
    std::vector<const char *> p;
    std::vector<size_t> l;
    for (const auto &a : argv) {
      p.push_back(a.data());
      l.push_back(a.size());
    }
    redisAppendCommandArgv(ctx_, static_cast<int>(p.size()), p.data(), l.data());
  }
  for (size_t i = 0; i < cmds.size(); i++) {
    void *r = nullptr;
    if (redisGetReply(ctx_, &r) != REDIS_OK || !r) {
      error_ = std::string("Redis failed: ") + (ctx_->err ? ctx_->errstr : "no reply");
      return {};
    }
    out.emplace_back(static_cast<redisReply *>(r));
  }
  return out;
}

std::string elem(const redisReply *r, size_t i) {
  if (!r || r->type != REDIS_REPLY_ARRAY || i >= r->elements) return "";
  const redisReply *e = r->element[i];
  if (e->type == REDIS_REPLY_STRING || e->type == REDIS_REPLY_STATUS)
    return std::string(e->str, e->len);
  if (e->type == REDIS_REPLY_INTEGER) return std::to_string(e->integer);
  return "";
}

bool elem_nil(const redisReply *r, size_t i) {
  return !r || r->type != REDIS_REPLY_ARRAY || i >= r->elements ||
         r->element[i]->type == REDIS_REPLY_NIL;
}

bool scan_keys(redis &r, const std::string &pattern, std::vector<std::string> *keys) {
  std::string cursor = "0";
  do {
    reply rep = r.cmd({"SCAN", cursor, "MATCH", pattern, "COUNT", "1000"});
    if (!rep || rep->type != REDIS_REPLY_ARRAY || rep->elements != 2) return false;
    cursor = std::string(rep->element[0]->str, rep->element[0]->len);
    const redisReply *k = rep->element[1];
    for (size_t i = 0; i < k->elements; i++)
      keys->emplace_back(k->element[i]->str, k->element[i]->len);
  } while (cursor != "0");
  return true;
}

}  // namespace mlctl

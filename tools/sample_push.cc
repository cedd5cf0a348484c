#include "tools/sample_push.h"

#include "intake/sample_msg.h"

namespace mlpush {

std::string pack(uint32_t domain_id, uint32_t url_id, uint32_t arg_id, std::string_view carried,
                 uint32_t real_len, size_t length) {
  sample_msg msg;
  sample_msg_fill(&msg, domain_id, url_id, arg_id, carried.data(),
                  static_cast<uint32_t>(carried.size()));
  msg.arg_real_len = real_len;
  std::string bytes(reinterpret_cast<const char *>(&msg), sizeof msg);
  bytes.resize(length, '\0');
  return bytes;
}

namespace {

// Appends one RPUSH of up to kPushBatch messages to the pipeline; next and
// left say which message and how many of its copies remain.
void append_batch(redisContext *c, const std::string &key, const std::vector<std::string> &msgs,
                  size_t *next, unsigned long *left, unsigned long count) {
  std::vector<const char *> argv = {"RPUSH", key.c_str()};
  std::vector<size_t> lens = {5, key.size()};
  while (argv.size() - 2 < kPushBatch && *next < msgs.size()) {
    argv.push_back(msgs[*next].data());
    lens.push_back(msgs[*next].size());
    if (--*left == 0) {
      ++*next;
      *left = count;
    }
  }
  redisAppendCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lens.data());
}

// Reads the replies of sent commands; false (and err) on the first failure,
// after every reply has been read so the connection stays usable.
bool read_replies(redisContext *c, size_t sent, const std::string &key, std::string *err) {
  bool ok = true;
  for (; sent > 0; sent--) {
    void *reply = nullptr;
    if (redisGetReply(c, &reply) != REDIS_OK) {
      if (err) *err = "RPUSH " + key + " failed: " + c->errstr;
      return false;
    }
    auto *r = static_cast<redisReply *>(reply);
    if (r->type == REDIS_REPLY_ERROR && ok) {
      if (err) *err = "RPUSH " + key + " failed: " + std::string(r->str, r->len);
      ok = false;
    }
    freeReplyObject(reply);
  }
  return ok;
}

}  // namespace

int push(redisContext *c, const std::string &key, const std::vector<std::string> &msgs,
         unsigned long count, std::string *err) {
  if (count == 0) return 0;
  size_t next = 0;
  unsigned long left = count;
  while (next < msgs.size()) {
    size_t sent = 0;
    for (; sent < 64 && next < msgs.size(); sent++) append_batch(c, key, msgs, &next, &left, count);
    if (!read_replies(c, sent, key, err)) return 2;
  }
  return 0;
}

}  // namespace mlpush

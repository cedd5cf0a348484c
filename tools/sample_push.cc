#include "tools/sample_push.h"

#include <algorithm>

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

std::string pack_sample(uint32_t domain_id, uint32_t url_id, uint32_t arg_id,
                        std::string_view value, size_t real_len) {
  return pack(domain_id, url_id, arg_id, value.substr(0, kCarryMax),
              static_cast<uint32_t>(std::min<size_t>(real_len, UINT32_MAX)), SAMPLE_MSG_LEN);
}

bool parse_u32(std::string_view text, uint32_t *out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool parse_sample_line(std::string_view line, SampleLine *out) {
  uint32_t *ids[] = {&out->domain_id, &out->url_id, &out->arg_id};
  size_t pos = 0;
  for (uint32_t *id : ids) {
    const size_t end = line.find(' ', pos);
    if (end == std::string_view::npos && id != &out->arg_id) return false;
    if (!parse_u32(line.substr(pos, end == std::string_view::npos ? end : end - pos), id))
      return false;
    pos = end == std::string_view::npos ? line.size() : end + 1;
  }
  out->value.assign(line.substr(pos));
  return true;
}

bool read_line(FILE *f, std::string *line, bool *too_long, size_t max) {
  line->clear();
  *too_long = false;
  int c = getc(f);
  if (c == EOF) return false;
  for (; c != EOF && c != '\n'; c = getc(f)) {
    if (line->size() < max)
      line->push_back(static_cast<char>(c));
    else
      *too_long = true;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  if (*too_long) line->clear();
  return true;
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

// Redis client library on hiredis.
//
// Each redis_conn wraps one hiredis context and remembers where it connects
// and what it subscribed to. When a command fails with a connection error the
// context is dropped; the next call reconnects (at most once per
// kReconnectPause, so a thread polling a dead server does not spin on
// connect) and renews the subscriptions before it runs its own command.
//
// Replies are copied out of hiredis into one allocation per reply tree: the
// 24-byte records of the whole tree first (breadth by breadth), then the
// string bytes. redisconn_free_result is therefore a single free(), and a
// caller can never free a part of a reply by mistake.
//
// Pub/sub: after SUBSCRIBE the context only receives. redisconn_get_subscribe
// polls the socket with a zero timeout (redisconn_wait_subscribe with a
// bounded one), feeds what arrived to hiredis' reader and hands out one
// "message" reply at a time.
#include "platform/redis/redisconn.h"

#include "platform/redis/reply_convert.h"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <strings.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kReconnectPause{100};
constexpr std::chrono::seconds kRefusalQuiet{1};
constexpr struct timeval kConnectTimeout = {1, 0};
// A command that gets no answer within this time counts as a broken socket.
constexpr struct timeval kCommandTimeout = {10, 0};

struct HiredisReplyFree {
  void operator()(redisReply *r) const {
    if (r) freeReplyObject(r);
  }
};
using HiredisReply = std::unique_ptr<redisReply, HiredisReplyFree>;

}  // namespace

struct redis_conn {
  redisContext *ctx = nullptr;
  std::string host;
  int port = 0;
  std::vector<std::string> channels;  // subscribed channels, renewed on reconnect
  Clock::time_point last_attempt{};
  struct timeval connect_timeout = kConnectTimeout;
  struct timeval command_timeout = kCommandTimeout;
  // Refusal lines: a command refused again within kRefusalQuiet prints
  // nothing and is counted, so a poller meeting LOADING does not flood stderr.
  std::string last_refused;
  Clock::time_point last_refusal{};
  unsigned quiet_refusals = 0;
};

namespace {

void drop_context(redis_conn *c) {
  if (c->ctx) {
    redisFree(c->ctx);
    c->ctx = nullptr;
  }
}

bool is_connection_error(const redisContext *ctx) {
  // A time-out surfaces as REDIS_ERR_IO; after any of these the stream is
  // out of step with the server and the context cannot be reused.
  return ctx->err == REDIS_ERR_IO || ctx->err == REDIS_ERR_EOF || ctx->err == REDIS_ERR_PROTOCOL ||
         ctx->err == REDIS_ERR_OTHER || ctx->err == REDIS_ERR_OOM;
}

// The one line a refused command leaves: callers only see null, so the
// server's reason (MISCONF, LOADING, OOM, NOREPLICAS, WRONGTYPE...) is
// printed here or nowhere.
void print_refusal(std::string_view command, const redisReply *r, unsigned quiet) {
  char more[64] = "";
  if (quiet) snprintf(more, sizeof more, " (%u more refusals not shown)", quiet);
  fprintf(stderr, "redisconn: %.*s refused: %.*s%s\n", static_cast<int>(command.size()),
          command.data(), static_cast<int>(r->len), r->str ? r->str : "", more);
}

// The same first word refused again within kRefusalQuiet of its line is only
// counted; the count goes with the next line printed.
void report_refusal(redis_conn *c, std::string_view command, const redisReply *r) {
  const auto now = Clock::now();
  if (command == c->last_refused && now - c->last_refusal < kRefusalQuiet) {
    c->quiet_refusals++;
    return;
  }
  print_refusal(command, r, c->quiet_refusals);
  c->last_refused.assign(command.data(), command.size());
  c->last_refusal = now;
  c->quiet_refusals = 0;
}

// Sends SUBSCRIBE for channels and reads one confirmation per channel.
bool send_subscribe(redisContext *ctx, const std::vector<std::string> &channels) {
  std::vector<const char *> argv{"SUBSCRIBE"};
  std::vector<size_t> lens{9};
  for (const auto &ch : channels) {
    argv.push_back(ch.data());
    lens.push_back(ch.size());
  }
  if (redisAppendCommandArgv(ctx, static_cast<int>(argv.size()), argv.data(), lens.data()) !=
      REDIS_OK)
    return false;
  bool refused = false;
  for (size_t i = 0; i < channels.size(); i++) {
    void *raw = nullptr;
    if (redisGetReply(ctx, &raw) != REDIS_OK) return false;
    HiredisReply r(static_cast<redisReply *>(raw));
    if (r->type == REDIS_REPLY_ERROR) {
      print_refusal("SUBSCRIBE", r.get(), 0);
      refused = true;
    }
  }
  return !refused;
}

// Makes sure c has a live context; renews subscriptions after a reconnect.
// True when the server has closed the socket (or left bytes nobody asked
// for on a connection that is not subscribed): its next command would fail.
bool peer_gone(redisContext *ctx, bool subscribed) {
  struct pollfd p = {ctx->fd, POLLIN | POLLRDHUP, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) return true;
  return !subscribed && (p.revents & POLLIN);
}

bool ensure_connected(redis_conn *c) {
  // A connection that sat idle across a server restart is reopened before its
  // next command, so that command is not the one to fail and be lost.
  if (c->ctx && peer_gone(c->ctx, !c->channels.empty())) drop_context(c);
  if (c->ctx) return true;
  auto now = Clock::now();
  if (c->last_attempt != Clock::time_point{} && now - c->last_attempt < kReconnectPause)
    return false;
  c->last_attempt = now;
  redisContext *ctx = redisConnectWithTimeout(c->host.c_str(), c->port, c->connect_timeout);
  if (!ctx) return false;
  if (ctx->err || redisSetTimeout(ctx, c->command_timeout) != REDIS_OK ||
      (!c->channels.empty() && !send_subscribe(ctx, c->channels))) {
    redisFree(ctx);
    return false;
  }
  c->ctx = ctx;
  // Only failed attempts are paced: a connection that worked and then broke
  // is reopened at once.
  c->last_attempt = Clock::time_point{};
  return true;
}

// ---- Reply conversion ------------------------------------------------------

bool has_text(const redisReply *r) {
  return r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS ||
         r->type == REDIS_REPLY_ERROR;
}

bool has_elements(const redisReply *r) { return r->type == REDIS_REPLY_ARRAY; }

// Counts the records and string bytes of the tree below r (r itself excluded
// from records when it is the root, which is counted by the caller).
void measure(const redisReply *r, size_t &records, size_t &bytes) {
  if (has_elements(r)) {
    records += r->elements;
    for (size_t i = 0; i < r->elements; i++) measure(r->element[i], records, bytes);
  } else if (has_text(r)) {
    bytes += r->len + 1;
  } else if (r->type == REDIS_REPLY_INTEGER) {
    bytes += 24;  // decimal text of a 64-bit integer
  }
}

struct Arena {
  redis_reply *records;  // next free record
  char *bytes;           // next free string byte
};

void fill(const redisReply *src, redis_reply *dst, Arena &a) {
  dst->elements = 0;
  dst->len = 0;
  dst->str = nullptr;
  if (has_elements(src)) {
    dst->type = ML_REDIS_ARRAY;
    dst->elements = static_cast<uint32_t>(src->elements);
    dst->element = a.records;
    a.records += src->elements;
    for (size_t i = 0; i < src->elements; i++) fill(src->element[i], dst->element + i, a);
    return;
  }
  switch (src->type) {
    case REDIS_REPLY_NIL:
      dst->type = ML_REDIS_NIL;
      return;
    case REDIS_REPLY_INTEGER: {
      dst->type = ML_REDIS_INTEGER;
      int n = snprintf(a.bytes, 24, "%lld", src->integer);
      dst->str = a.bytes;
      dst->len = static_cast<uint64_t>(n);
      a.bytes += 24;
      return;
    }
    case REDIS_REPLY_STATUS:
      dst->type = ML_REDIS_STATUS;
      break;
    case REDIS_REPLY_ERROR:
      dst->type = ML_REDIS_ERROR;
      break;
    default:
      dst->type = ML_REDIS_STRING;
      break;
  }
  memcpy(a.bytes, src->str, src->len);
  a.bytes[src->len] = '\0';
  dst->str = a.bytes;
  dst->len = src->len;
  a.bytes += src->len + 1;
}

// Splits a command line on blanks (spaces and tabs); empty words are skipped.
std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') i++;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// Runs one argument vector; null on any failure, the context dropped when the
// failure was the connection's.
redis_reply *run_argv(redis_conn *c, const std::vector<std::string_view> &words) {
  if (!ensure_connected(c)) return nullptr;
  std::vector<const char *> argv;
  std::vector<size_t> lens;
  argv.reserve(words.size());
  lens.reserve(words.size());
  for (auto w : words) {
    argv.push_back(w.data());
    lens.push_back(w.size());
  }
  HiredisReply r(static_cast<redisReply *>(
      redisCommandArgv(c->ctx, static_cast<int>(argv.size()), argv.data(), lens.data())));
  if (!r) {
    if (is_connection_error(c->ctx)) drop_context(c);
    return nullptr;
  }
  if (r->type == REDIS_REPLY_ERROR) {
    report_refusal(c, words[0], r.get());
    return nullptr;
  }
  return redisconn_convert_reply(r.get());
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

redis_reply *redisconn_convert_reply(const redisReply *src) {
  if (!src) return nullptr;
  size_t records = 1, bytes = 0;
  measure(src, records, bytes);
  const size_t head = records * sizeof(redis_reply);
  auto *mem = static_cast<char *>(malloc(head + bytes + 1));
  if (!mem) return nullptr;
  auto *root = reinterpret_cast<redis_reply *>(mem);
  Arena a{root + 1, mem + head};
  fill(src, root, a);
  return root;
}

redis_conn *redisconn_connect(const char *host, int port) {
  if (!host) return nullptr;
  std::unique_ptr<redis_conn> c;
  try {
    c = std::make_unique<redis_conn>();
    c->host = host;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  c->port = port;
  if (!ensure_connected(c.get())) return nullptr;
  return c.release();  // connections live as long as the process
}

void redisconn_set_timeout(redis_conn *conn, int ms) {
  if (!conn) return;
  if (ms <= 0) {
    conn->connect_timeout = kConnectTimeout;
    conn->command_timeout = kCommandTimeout;
  } else {
    const struct timeval t = {ms / 1000, (ms % 1000) * 1000};
    conn->connect_timeout = t;
    conn->command_timeout = t;
  }
  if (conn->ctx) redisSetTimeout(conn->ctx, conn->command_timeout);
}

void redisconn_free(redis_conn *conn) {
  if (!conn) return;
  drop_context(conn);
  std::unique_ptr<redis_conn> owned(conn);
}

redis_reply *redisconn_run_command(redis_conn *conn, const char *command, int length) {
  if (!conn || !command || length <= 0) return nullptr;
  auto words = split_words(std::string_view(command, strnlen(command, length)));
  if (words.empty()) return nullptr;
  if (iequals(words[0], "SUBSCRIBE")) {
    if (words.size() < 2 || !ensure_connected(conn)) return nullptr;
    std::vector<std::string> channels(words.begin() + 1, words.end());
    if (!send_subscribe(conn->ctx, channels)) {
      drop_context(conn);
      return nullptr;
    }
    // Remember each channel once, for renewal after a reconnect.
    for (auto &ch : channels) {
      bool known = false;
      for (const auto &have : conn->channels) known = known || have == ch;
      if (!known) conn->channels.push_back(ch);
    }
    redisReply ok{};
    ok.type = REDIS_REPLY_STATUS;
    ok.str = const_cast<char *>("OK");
    ok.len = 2;
    return redisconn_convert_reply(&ok);
  }
  return run_argv(conn, words);
}

redis_reply *redisconn_run_words(redis_conn *conn, const std::string_view *words, size_t count) {
  if (!conn || !words || count == 0 || iequals(words[0], "SUBSCRIBE")) return nullptr;
  return run_argv(conn, std::vector<std::string_view>(words, words + count));
}

redis_reply *redisconn_run_pipeline(redis_conn *conn, const std::vector<std::string_view> *commands,
                                    size_t count) {
  if (!conn || !commands || count == 0) return nullptr;
  for (size_t i = 0; i < count; i++)
    if (commands[i].empty() || iequals(commands[i][0], "SUBSCRIBE")) return nullptr;
  if (!ensure_connected(conn)) return nullptr;
  std::vector<const char *> argv;
  std::vector<size_t> lens;
  for (size_t i = 0; i < count; i++) {
    argv.clear();
    lens.clear();
    for (auto w : commands[i]) {
      argv.push_back(w.data());
      lens.push_back(w.size());
    }
    if (redisAppendCommandArgv(conn->ctx, static_cast<int>(argv.size()), argv.data(),
                               lens.data()) != REDIS_OK) {
      drop_context(conn);  // a half-written pipeline cannot be continued
      return nullptr;
    }
  }
  std::vector<HiredisReply> replies(count);
  for (size_t i = 0; i < count; i++) {
    void *r = nullptr;
    if (redisGetReply(conn->ctx, &r) != REDIS_OK || !r) {
      drop_context(conn);
      return nullptr;
    }
    replies[i].reset(static_cast<redisReply *>(r));
  }
  std::vector<redisReply *> elements(count);
  for (size_t i = 0; i < count; i++) elements[i] = replies[i].get();
  redisReply all{};
  all.type = REDIS_REPLY_ARRAY;
  all.elements = count;
  all.element = elements.data();
  return redisconn_convert_reply(&all);
}

void redisconn_free_result(redis_reply *reply) { free(reply); }

namespace {

// The next published message, waiting up to timeout_ms for the socket to
// have something (0: no wait). Subscription confirmations are consumed on
// the way, within the same deadline.
redis_reply *next_message(redis_conn *conn, int timeout_ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    void *raw = nullptr;
    if (redisGetReplyFromReader(conn->ctx, &raw) != REDIS_OK) {
      drop_context(conn);
      return nullptr;
    }
    if (!raw) {
      // Nothing complete buffered: wait for the socket, then read what it has.
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      struct pollfd p = {conn->ctx->fd, POLLIN, 0};
      int n = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
      if (n <= 0) return nullptr;
      if (redisBufferRead(conn->ctx) != REDIS_OK) {
        drop_context(conn);
        return nullptr;
      }
      if (redisGetReplyFromReader(conn->ctx, &raw) != REDIS_OK) {
        drop_context(conn);
        return nullptr;
      }
      if (!raw) continue;  // a partial reply: wait for the rest within the deadline
    }
    HiredisReply r(static_cast<redisReply *>(raw));
    // Only published messages go to the caller; confirmations and pongs do not.
    if (has_elements(r.get()) && r->elements == 3 && r->element[0]->type == REDIS_REPLY_STRING &&
        iequals(std::string_view(r->element[0]->str, r->element[0]->len), "message"))
      return redisconn_convert_reply(r.get());
  }
}

}  // namespace

redis_reply *redisconn_get_subscribe(redis_conn *conn) {
  if (!conn || conn->channels.empty()) return nullptr;
  // An open connection is polled once, by next_message: a server that went
  // away shows there as a read that fails, and the next call reconnects.
  if (!conn->ctx && !ensure_connected(conn)) return nullptr;
  return next_message(conn, 0);
}

redis_reply *redisconn_wait_subscribe(redis_conn *conn, int timeout_ms) {
  if (!conn || conn->channels.empty()) return nullptr;
  if (timeout_ms < 0) timeout_ms = 0;
  if (!ensure_connected(conn)) {
    // Reconnects are paced by the library; the caller's loop must not spin.
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    return nullptr;
  }
  return next_message(conn, timeout_ms);
}

int redis_rpush(redis_conn *conn, const char *key, const char *value, int length) {
  if (!conn || !key || (!value && length > 0) || length < 0) return -1;
  std::vector<std::string_view> argv{"RPUSH", key, std::string_view(value ? value : "", length)};
  redis_reply *r = run_argv(conn, argv);
  if (!r) return -1;
  int result = r->type == ML_REDIS_INTEGER ? atoi(r->str) : -1;
  redisconn_free_result(r);
  return result;
}

int redis_publish_event(redis_conn *conn, const char *text) {
  if (!conn || !text) return -1;
  std::vector<std::string_view> argv{"PUBLISH", ML_ARG_EVENT_CHANNEL, text};
  redis_reply *r = run_argv(conn, argv);
  if (!r) return -1;
  int result = r->type == ML_REDIS_INTEGER ? atoi(r->str) : -1;
  redisconn_free_result(r);
  return result;
}

// ---- Base64 ----------------------------------------------------------------

namespace {

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

int redis_b64encode(const void *src, int src_length, char *dst, int dst_capacity) {
  if (!dst || dst_capacity <= 0) return -1;
  dst[0] = '\0';
  if (src_length < 0 || (!src && src_length > 0)) return -1;
  const long long need = 4LL * ((src_length + 2) / 3);
  if (need + 1 > dst_capacity) return -1;
  auto *in = static_cast<const unsigned char *>(src);
  int o = 0;
  for (int i = 0; i < src_length; i += 3) {
    unsigned v = in[i] << 16;
    if (i + 1 < src_length) v |= in[i + 1] << 8;
    if (i + 2 < src_length) v |= in[i + 2];
    dst[o++] = kB64[(v >> 18) & 63];
    dst[o++] = kB64[(v >> 12) & 63];
    dst[o++] = i + 1 < src_length ? kB64[(v >> 6) & 63] : '=';
    dst[o++] = i + 2 < src_length ? kB64[v & 63] : '=';
  }
  dst[o] = '\0';
  return o;
}

int redis_b64decode(const char *src, int src_length, void *dst, int dst_capacity) {
  if (!src || !dst || src_length < 0 || dst_capacity < 0) return -1;
  if (src_length == 0) return 0;
  if (src_length % 4 != 0) return -1;
  auto *out = static_cast<unsigned char *>(dst);
  int o = 0;
  for (int i = 0; i < src_length; i += 4) {
    int v[4], pad = 0;
    for (int k = 0; k < 4; k++) {
      unsigned char ch = static_cast<unsigned char>(src[i + k]);
      if (ch == '=' && i + 4 == src_length && k >= 2) {
        v[k] = 0;
        pad++;
      } else {
        if (pad) return -1;  // data after padding
        v[k] = b64_value(ch);
        if (v[k] < 0) return -1;
      }
    }
    unsigned bits = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    int n = 3 - pad;
    if (o + n > dst_capacity) return -1;
    out[o++] = static_cast<unsigned char>(bits >> 16);
    if (n > 1) out[o++] = static_cast<unsigned char>(bits >> 8);
    if (n > 2) out[o++] = static_cast<unsigned char>(bits);
  }
  return o;
}

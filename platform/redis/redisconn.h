// Redis client library: the commands of the daemon as blank-separated lines,
// replies as plain 24-byte records, pub/sub polling without blocking, and
// reconnection after a broken socket. Built on hiredis.
//
// A redis_conn is not thread-safe: each thread uses its own connection.
// Replies belong to the caller and are released with redisconn_free_result,
// which frees the whole reply tree at once; nobody frees a part of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// Reply type codes (hiredis' numbering).
enum : uint32_t {
  ML_REDIS_STRING = 1,
  ML_REDIS_ARRAY = 2,
  ML_REDIS_INTEGER = 3,
  ML_REDIS_NIL = 4,
  ML_REDIS_STATUS = 5,
  ML_REDIS_ERROR = 6,
};

// One reply, or one element of an array reply. Strings (also status, error
// and integer replies, whose decimal text is carried) are NUL-terminated
// after len bytes; an array's elements lie contiguously, element i at
// element + i. ML_REDIS_ERROR appears only inside arrays (e.g. a result of
// EXEC): a top-level error reply is a failure, never returned.
struct redis_reply {
  uint32_t type;
  uint32_t elements;
  uint64_t len;
  union {
    char *str;
    redis_reply *element;
  };
};
static_assert(sizeof(redis_reply) == 24);
static_assert(offsetof(redis_reply, type) == 0);
static_assert(offsetof(redis_reply, elements) == 4);
static_assert(offsetof(redis_reply, len) == 8);
static_assert(offsetof(redis_reply, str) == 16);

struct redis_conn;  // opaque

// Connects to host:port; null when the server does not answer (nothing to free).
// Connections are never closed; they live as long as the process.
redis_conn *redisconn_connect(const char *host, int port);

// Bounds this connection's waits, from its next (re)connection on: opening
// the socket and each command's answer, in milliseconds (0 or less: the
// defaults of 1 s and 10 s). A caller on a request path sets a small bound
// so that a server that stops answering fails the command instead of holding
// the request. The current socket takes the command bound at once. Null is
// ignored.
void redisconn_set_timeout(redis_conn *conn, int ms);

// Closes a connection and frees it. The daemon never closes its connections;
// tools and tests that open many do. Null is ignored.
void redisconn_free(redis_conn *conn);

// Splits the command line on blanks into words and sends them as one command
// (no format interpretation: '%' and '\' pass unchanged). Returns the reply,
// or null when the command could not be sent or answered, or when the server
// refused it: an error reply (MISCONF, LOADING, OOM, NOREPLICAS, WRONGTYPE...)
// is a failure, reported by one line on stderr, "redisconn: <first word>
// refused: <server's text>", and never handed to the caller. The same first
// word refused again on the connection within a second prints nothing; the
// next line printed says how many were not shown. A broken socket
// is reconnected (and its subscriptions renewed) by the next call.
// "SUBSCRIBE ch..." puts the connection in subscribed mode: afterwards only
// redisconn_get_subscribe reads from it.
redis_reply *redisconn_run_command(redis_conn *conn, const char *command, int length);

// The same for a command given as words, each any bytes (blanks, quotes, NUL):
// scripts and binary values. SUBSCRIBE is refused (null); use the line form.
redis_reply *redisconn_run_words(redis_conn *conn, const std::string_view *words, size_t count);

// Sends count commands (commands[i] holds the words of command i) in one
// round trip and returns one array reply whose element i is command i's
// reply; a command the server refused is an ML_REDIS_ERROR element carrying
// the server's text (no line is printed: the caller knows which matter).
// Null when the connection failed before every reply arrived; the commands
// sent may then have run or not. SUBSCRIBE is refused (null).
redis_reply *redisconn_run_pipeline(redis_conn *conn, const std::vector<std::string_view> *commands,
                                    size_t count);

// Frees a reply with all its elements; null is ignored.
void redisconn_free_result(redis_reply *reply);

// The next message published on a subscribed channel, as a 3-element array
// ("message", channel, payload), or null when none is waiting. Never blocks.
// Subscription confirmations are consumed, not returned.
redis_reply *redisconn_get_subscribe(redis_conn *conn);
// The same, but waits up to timeout_ms milliseconds for a message to arrive
// (returning as soon as one does), so an idle subscriber costs no CPU. While
// the connection is broken it sleeps the time-out and returns null.
redis_reply *redisconn_wait_subscribe(redis_conn *conn, int timeout_ms);

// Appends value (length bytes, any content) to the list under key. Returns the
// list's new length, or -1 (also when the server refused the write).
int redis_rpush(redis_conn *conn, const char *key, const char *value, int length);

// The channel on which argument notifications reach the proxy.
constexpr const char *ML_ARG_EVENT_CHANNEL = "ml_arg_event";

// Publishes the NUL-terminated text on ML_ARG_EVENT_CHANNEL. Returns the number
// of receivers (0 or more), or -1 when it was not published (refusals too).
int redis_publish_event(redis_conn *conn, const char *text);

// Standard Base64 with '=' padding. Encode writes a NUL-terminated text into
// dst and returns its length, or -1 (dst then holds "") when it does not fit
// in dst_capacity bytes. Decode returns the number of bytes written, 0 for an
// empty input, or -1 for text that is not Base64 or does not fit.
int redis_b64encode(const void *src, int src_length, char *dst, int dst_capacity);
int redis_b64decode(const char *src, int src_length, void *dst, int dst_capacity);

// Fixed endpoint of the appliance's local Redis.
constexpr const char *ML_REDIS_HOST = "127.0.0.1";
constexpr int ML_REDIS_PORT = 6379;

// SPOP, the protocol HAProxy's stream offload engine (SPOE) speaks to an
// agent: length-prefixed binary frames. This is the codec only, no I/O, so
// that the agent, its tests and a fuzz target share it: it decodes the
// frames HAProxy sends (HAPROXY-HELLO, HAPROXY-DISCONNECT, NOTIFY) and
// encodes the agent's (AGENT-HELLO, AGENT-DISCONNECT, ACK with set-var
// actions), as HAProxy's doc/SPOE.txt describes them.
//
// Every read is bounded by the frame it comes from: a length or a count that
// points past the end refuses the frame, whatever HAProxy (or anyone who can
// reach the agent's socket) sent. Decoded strings are views into the frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace spop {

enum FrameType : uint8_t {
  kUnset = 0,  // a fragment after the first
  kHaproxyHello = 1,
  kHaproxyDisconnect = 2,
  kNotify = 3,
  kAgentHello = 101,
  kAgentDisconnect = 102,
  kAck = 103,
};

enum DataType : uint8_t {
  kNull = 0,
  kBool = 1,
  kInt32 = 2,
  kUint32 = 3,
  kInt64 = 4,
  kUint64 = 5,
  kIpv4 = 6,
  kIpv6 = 7,
  kString = 8,
  kBinary = 9,
};

// Variable scopes of a set-var action.
enum Scope : uint8_t { kProcess = 0, kSession = 1, kTransaction = 2, kRequest = 3, kResponse = 4 };

constexpr uint32_t kFlagFin = 1;
constexpr uint32_t kFlagAbort = 2;
// Frames are at most this long on either side (HAProxy's default, and its
// lower bound is 256 bytes).
constexpr uint32_t kMaxFrameSize = 16380;
constexpr uint32_t kMinFrameSize = 256;

// One typed value: integers in `number` (booleans 0 or 1, signed ones as
// their two's complement), strings, binaries and addresses in `bytes`.
struct Value {
  DataType type = kNull;
  uint64_t number = 0;
  std::string_view bytes;
};

struct Arg {
  std::string_view name;  // empty for an unnamed argument
  Value value;
};

struct Message {
  std::string_view name;
  std::vector<Arg> args;
};

// A decoded frame; `payload` is a view into the buffer given to parse_frame.
struct Frame {
  FrameType type = kUnset;
  uint32_t flags = 0;
  uint64_t stream_id = 0;
  uint64_t frame_id = 0;
  std::string_view payload;
};

// Appends x in SPOP's variable-length encoding (1 byte below 240, up to 10).
void put_varint(std::string *out, uint64_t x);
// Reads a varint at *pos of data, advancing *pos. False when it runs past
// the end or past 64 bits.
bool get_varint(std::string_view data, size_t *pos, uint64_t *x);

// Decodes one frame (without its 4-byte length prefix). False when the
// metadata is truncated.
bool parse_frame(std::string_view frame, Frame *out);

// A KV-LIST payload (hello and disconnect frames). False on anything
// malformed; *out then holds what was read before it.
bool parse_kv_list(std::string_view payload, std::vector<Arg> *out);

// A LIST-OF-MESSAGES payload (NOTIFY), at most max_args arguments in all.
bool parse_messages(std::string_view payload, std::vector<Message> *out, size_t max_args = 4096);

// The agent's frames, each with its 4-byte length prefix.
std::string agent_hello(uint32_t max_frame_size, std::string_view capabilities);
std::string agent_disconnect(uint32_t status, std::string_view message);

// An ACK under construction: set-var actions, then finish() for the frame.
class Ack {
 public:
  Ack(uint64_t stream_id, uint64_t frame_id);
  void set_string(Scope scope, std::string_view name, std::string_view value);
  void set_int(Scope scope, std::string_view name, int64_t value);
  std::string finish() const;

 private:
  std::string body_;
};

// The value of a named KV item, or null.
const Value *find(const std::vector<Arg> &kv, std::string_view name);

}  // namespace spop

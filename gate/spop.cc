#include "gate/spop.h"

namespace spop {

namespace {

// Reads a length-prefixed byte string (names and string data).
bool get_bytes(std::string_view data, size_t *pos, std::string_view *out) {
  uint64_t len = 0;
  if (!get_varint(data, pos, &len) || len > data.size() - *pos) return false;
  *out = data.substr(*pos, static_cast<size_t>(len));
  *pos += static_cast<size_t>(len);
  return true;
}

void put_bytes(std::string *out, std::string_view bytes) {
  put_varint(out, bytes.size());
  out->append(bytes);
}

bool get_value(std::string_view data, size_t *pos, Value *v) {
  if (*pos >= data.size()) return false;
  const uint8_t head = static_cast<uint8_t>(data[(*pos)++]);
  v->type = static_cast<DataType>(head & 0x0f);
  v->number = 0;
  v->bytes = {};
  switch (v->type) {
    case kNull:
      return true;
    case kBool:
      v->number = (head & 0x10) ? 1 : 0;
      return true;
    case kInt32:
    case kUint32:
    case kInt64:
    case kUint64:
      return get_varint(data, pos, &v->number);
    case kIpv4:
    case kIpv6: {
      const size_t n = v->type == kIpv4 ? 4 : 16;
      if (n > data.size() - *pos) return false;
      v->bytes = data.substr(*pos, n);
      *pos += n;
      return true;
    }
    case kString:
    case kBinary:
      return get_bytes(data, pos, &v->bytes);
    default:
      return false;  // 10 to 15 are reserved: nothing says how long they are
  }
}

// The frame with its 4-byte length in network byte order in front.
std::string framed(const std::string &frame) {
  const uint32_t n = static_cast<uint32_t>(frame.size());
  std::string out;
  out.reserve(4 + frame.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(n >> shift & 0xff));
  return out + frame;
}

// Type, flags (FIN), stream and frame ids.
std::string head(FrameType type, uint64_t stream_id, uint64_t frame_id) {
  std::string out(1, static_cast<char>(type));
  out.append({0, 0, 0, static_cast<char>(kFlagFin)});
  put_varint(&out, stream_id);
  put_varint(&out, frame_id);
  return out;
}

void put_string_value(std::string *out, std::string_view s) {
  out->push_back(static_cast<char>(kString));
  put_bytes(out, s);
}

void put_uint_value(std::string *out, DataType type, uint64_t x) {
  out->push_back(static_cast<char>(type));
  put_varint(out, x);
}

}  // namespace

void put_varint(std::string *out, uint64_t x) {
  if (x < 240) {
    out->push_back(static_cast<char>(x));
    return;
  }
  out->push_back(static_cast<char>((x & 0xff) | 240));
  x = (x - 240) >> 4;
  while (x >= 128) {
    out->push_back(static_cast<char>((x & 0xff) | 128));
    x = (x - 128) >> 7;
  }
  out->push_back(static_cast<char>(x));
}

bool get_varint(std::string_view data, size_t *pos, uint64_t *x) {
  if (*pos >= data.size()) return false;
  uint64_t v = static_cast<uint8_t>(data[(*pos)++]);
  if (v >= 240) {
    int shift = 4;
    uint8_t byte = 0;
    do {
      // Ten bytes carry 67 bits: anything longer is not a 64-bit number.
      if (*pos >= data.size() || shift > 60) return false;
      byte = static_cast<uint8_t>(data[(*pos)++]);
      v += static_cast<uint64_t>(byte) << shift;
      shift += 7;
    } while (byte >= 128);
  }
  *x = v;
  return true;
}

bool parse_frame(std::string_view frame, Frame *out) {
  if (frame.size() < 5) return false;
  out->type = static_cast<FrameType>(static_cast<uint8_t>(frame[0]));
  out->flags = 0;
  for (size_t i = 1; i < 5; ++i) out->flags = out->flags << 8 | static_cast<uint8_t>(frame[i]);
  size_t pos = 5;
  if (!get_varint(frame, &pos, &out->stream_id) || !get_varint(frame, &pos, &out->frame_id))
    return false;
  out->payload = frame.substr(pos);
  return true;
}

bool parse_kv_list(std::string_view payload, std::vector<Arg> *out) {
  size_t pos = 0;
  while (pos < payload.size()) {
    Arg kv;
    if (!get_bytes(payload, &pos, &kv.name) || !get_value(payload, &pos, &kv.value)) return false;
    out->push_back(kv);
  }
  return true;
}

bool parse_messages(std::string_view payload, std::vector<Message> *out, size_t max_args) {
  size_t pos = 0, args = 0;
  while (pos < payload.size()) {
    Message m;
    if (!get_bytes(payload, &pos, &m.name) || pos >= payload.size()) return false;
    const size_t n = static_cast<uint8_t>(payload[pos++]);
    if ((args += n) > max_args) return false;
    for (size_t i = 0; i < n; ++i) {
      Arg a;
      if (!get_bytes(payload, &pos, &a.name) || !get_value(payload, &pos, &a.value)) return false;
      m.args.push_back(a);
    }
    out->push_back(std::move(m));
  }
  return true;
}

std::string agent_hello(uint32_t max_frame_size, std::string_view capabilities) {
  std::string f = head(kAgentHello, 0, 0);
  put_bytes(&f, "version");
  put_string_value(&f, "2.0");
  put_bytes(&f, "max-frame-size");
  put_uint_value(&f, kUint32, max_frame_size);
  put_bytes(&f, "capabilities");
  put_string_value(&f, capabilities);
  return framed(f);
}

std::string agent_disconnect(uint32_t status, std::string_view message) {
  std::string f = head(kAgentDisconnect, 0, 0);
  put_bytes(&f, "status-code");
  put_uint_value(&f, kUint32, status);
  put_bytes(&f, "message");
  put_string_value(&f, message);
  return framed(f);
}

Ack::Ack(uint64_t stream_id, uint64_t frame_id) : body_(head(kAck, stream_id, frame_id)) {}

void Ack::set_string(Scope scope, std::string_view name, std::string_view value) {
  body_.append({1, 3, static_cast<char>(scope)});  // set-var, three arguments
  put_bytes(&body_, name);
  put_string_value(&body_, value);
}

void Ack::set_int(Scope scope, std::string_view name, int64_t value) {
  body_.append({1, 3, static_cast<char>(scope)});
  put_bytes(&body_, name);
  put_uint_value(&body_, kInt64, static_cast<uint64_t>(value));
}

std::string Ack::finish() const { return framed(body_); }

const Value *find(const std::vector<Arg> &kv, std::string_view name) {
  for (const Arg &a : kv)
    if (a.name == name) return &a.value;
  return nullptr;
}

}  // namespace spop

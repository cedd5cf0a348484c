// ml_sample_push's line "DOMAIN_ID URL_ID ARG_ID VALUE" and the message packed
// from it. A line is taken exactly when its first three blank-separated words
// are decimal numbers below 2^32 (an oracle written apart, on std::from_chars);
// a taken line written back from its fields reads the same; the message holds
// the ids, the real length, the value's first bytes and zeros after them.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "intake/sample_msg.h"
#include "tools/sample_push.h"

namespace {

bool is_id(std::string_view w) {
  if (w.empty() || w.size() > 10 || w.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  uint64_t v = 0;
  const auto r = std::from_chars(w.data(), w.data() + w.size(), v);
  return r.ec == std::errc() && r.ptr == w.data() + w.size() && v <= UINT32_MAX;
}

// The oracle: three ids, the first two ended by a blank, the third by a blank
// or the end of the line.
bool should_take(std::string_view line) {
  for (int i = 0; i < 3; i++) {
    const size_t end = line.find(' ');
    if (end == std::string_view::npos && i < 2) return false;
    if (!is_id(line.substr(0, end))) return false;
    line = end == std::string_view::npos ? std::string_view() : line.substr(end + 1);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;
  const std::string_view line(reinterpret_cast<const char *>(data), size);
  mlpush::SampleLine l;
  const bool taken = mlpush::parse_sample_line(line, &l);
  if (taken != should_take(line)) abort();
  if (!taken) return 0;
  if (l.value.size() > line.size() || line.substr(line.size() - l.value.size()) != l.value) abort();
  const std::string again = std::to_string(l.domain_id) + " " + std::to_string(l.url_id) + " " +
                            std::to_string(l.arg_id) + " " + l.value;
  mlpush::SampleLine m;
  if (!mlpush::parse_sample_line(again, &m) || m.domain_id != l.domain_id || m.url_id != l.url_id ||
      m.arg_id != l.arg_id || m.value != l.value)
    abort();
  const std::string bytes = mlpush::pack(l.domain_id, l.url_id, l.arg_id, l.value,
                                         static_cast<uint32_t>(l.value.size()), SAMPLE_MSG_LEN);
  if (bytes.size() != SAMPLE_MSG_LEN) abort();
  sample_msg msg;
  memcpy(&msg, bytes.data(), sizeof msg);
  const size_t carried = std::min<size_t>(l.value.size(), SAMPLE_VALUE_MAX);
  if (msg.domain_id != l.domain_id || msg.url_id != l.url_id || msg.arg_id != l.arg_id ||
      msg.arg_real_len != l.value.size() || msg.arg_len != carried ||
      memcmp(msg.arg_value, l.value.data(), carried) != 0)
    abort();
  for (size_t i = carried; i < SAMPLE_VALUE_MAX; i++)
    if (msg.arg_value[i] != 0) abort();
  return 0;
}

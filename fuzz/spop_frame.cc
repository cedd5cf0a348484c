// The SPOP codec fed whatever reaches the agent's socket: a frame must be
// refused or decoded into views that lie inside it, and every value read must
// encode back to what it came from.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "gate/spop.h"

namespace {

bool inside(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view in(reinterpret_cast<const char *>(data), size);
  size_t pos = 0;
  uint64_t x = 0;
  if (spop::get_varint(in, &pos, &x)) {
    std::string again;
    spop::put_varint(&again, x);
    size_t back = 0;
    uint64_t y = 0;
    if (!spop::get_varint(again, &back, &y) || y != x || back != again.size()) abort();
  }
  spop::Frame f;
  if (!spop::parse_frame(in, &f)) return 0;
  if (!inside(f.payload, in)) abort();
  std::vector<spop::Arg> kv;
  spop::parse_kv_list(f.payload, &kv);
  for (const spop::Arg &a : kv)
    if (!inside(a.name, in) || !inside(a.value.bytes, in)) abort();
  std::vector<spop::Message> msgs;
  spop::parse_messages(f.payload, &msgs, 64);
  size_t args = 0;
  for (const spop::Message &m : msgs) {
    args += m.args.size();
    if (!inside(m.name, in)) abort();
    for (const spop::Arg &a : m.args)
      if (!inside(a.name, in) || !inside(a.value.bytes, in)) abort();
  }
  if (args > 64) abort();
  return 0;
}

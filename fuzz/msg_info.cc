// The decoder of configuration messages, fed arbitrary payloads: it must
// either refuse one or fill a record whose texts are terminated in their
// fields.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/framework/msg_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 16) return 0;
  mlne_msg_info info;
  memset(&info, 0xA5, sizeof info);  // the decoder must clear what it does not set
  const int r =
      mlne_get_msg_info(reinterpret_cast<const char *>(data), static_cast<int>(size), &info);
  if (r != 0 && r != -1) abort();
  if (memchr(info.vdom, '\0', sizeof info.vdom) == nullptr) abort();
  if (memchr(info.policy_name, '\0', sizeof info.policy_name) == nullptr) abort();
  if (r == -1) {
    static const mlne_msg_info zero{};
    if (memcmp(&info, &zero, sizeof info) != 0) abort();  // a refusal leaves nothing behind
  }
  return 0;
}

// The JSON tree parser, fed arbitrary texts with arenas from far too small to
// ample: every node and item it keeps must lie inside its arena.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "json/waf_json.h"

namespace {

void check_inside(const waf_json_ctx *ctx, const char *p, uint32_t len) {
  if (len == 0) return;
  if (!p || p < ctx->arena || p + len > ctx->arena + ctx->used) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 1 << 16) return 0;
  // The first byte picks the arena: a share of the text's length.
  const int length = static_cast<int>(size - 1);
  const char *text = reinterpret_cast<const char *>(data + 1);
  const int capacity = length * (data[0] % 5) / 4;
  waf_json_ctx *ctx = waf_json_init(text, capacity);
  if (!ctx) return 0;
  char err[64];
  if (waf_json_parse(ctx, text, length, err, sizeof err) == 0) {
    if (ctx->used > ctx->capacity) abort();
    for (const waf_json_node *n = ctx->first; n; n = n->next) {
      check_inside(ctx, n->key, n->key_len);
      check_inside(ctx, n->value, n->value_len);
      for (const waf_json_item *it = n->first_item; it; it = it->next)
        check_inside(ctx, it->value, it->len);
    }
  } else if (!memchr(err, '\0', sizeof err)) {
    abort();
  }
  waf_json_release(ctx);
  return 0;
}

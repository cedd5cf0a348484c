// JSON tree parser; the design is in waf_json.h.
//
// json-c's tokener is incremental: a text that could still go on (a bare
// number, an unterminated string, an empty text) comes back as "continue".
// We parse exactly the caller's bytes and then feed one NUL byte, json-c's
// own end-of-input mark, so such texts are completed or rejected instead of
// left pending. json-c's nesting limit (32 levels) bounds our recursion.
//
// Records are plain C allocations (calloc/free): the context, nodes and items
// are released together by waf_json_release and by nothing else.
#include "json/waf_json.h"

#include <json-c/json.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kScalarTextMax = 32;

bool fits(const waf_json_ctx *ctx, uint64_t need) { return need <= ctx->capacity - ctx->used; }

// Copies len bytes to the arena's free space; the caller checked the room.
char *arena_copy(waf_json_ctx *ctx, const char *src, uint32_t len) {
  char *dst = ctx->arena + ctx->used;
  if (len > 0) {
    memcpy(dst, src, len);
    ctx->used += len;
  }
  return dst;
}

waf_json_node *add_node(waf_json_ctx *ctx, int32_t type, const char *key, uint32_t key_len,
                        const char *value, uint32_t value_len) {
  if (!fits(ctx, static_cast<uint64_t>(key_len) + value_len)) return nullptr;
  auto *node = static_cast<waf_json_node *>(calloc(1, sizeof(waf_json_node)));
  if (!node) return nullptr;
  node->type = type;
  node->key = arena_copy(ctx, key, key_len);
  node->key_len = key_len;
  if (value_len > 0) {
    node->value = arena_copy(ctx, value, value_len);
    node->value_len = value_len;
  }
  if (ctx->last)
    ctx->last->next = node;
  else
    ctx->first = node;
  ctx->last = node;
  return node;
}

void add_item(waf_json_ctx *ctx, waf_json_node *node, const char *text, uint32_t len) {
  if (!fits(ctx, len)) return;
  auto *item = static_cast<waf_json_item *>(calloc(1, sizeof(waf_json_item)));
  if (!item) return;
  item->value = arena_copy(ctx, text, len);
  item->len = len;
  if (node->last_item)
    node->last_item->next = item;
  else
    node->first_item = item;
  node->last_item = item;
}

bool is_scalar(json_object *v) {
  switch (json_object_get_type(v)) {
    case json_type_boolean:
    case json_type_double:
    case json_type_int:
    case json_type_string:
      return true;
    default:
      return false;
  }
}

void add_scalar_node(waf_json_ctx *ctx, const char *key, uint32_t key_len, json_object *v) {
  uint32_t len = 0;
  char *text = get_json_value(v, &len);
  if (!text) return;
  add_node(ctx, WAF_JSON_KEY_VALUE, key, key_len, text, len);
  free(text);
}

void add_members(waf_json_ctx *ctx, json_object *obj);

// Elements of arr into node; node is null when the array's own node was
// refused, and then only the objects inside still produce nodes.
void add_elements(waf_json_ctx *ctx, waf_json_node *node, json_object *arr) {
  size_t n = json_object_array_length(arr);
  for (size_t i = 0; i < n; i++) {
    json_object *e = json_object_array_get_idx(arr, i);
    if (!e) continue;
    if (json_object_is_type(e, json_type_array)) {
      add_elements(ctx, node, e);
    } else if (json_object_is_type(e, json_type_object)) {
      add_members(ctx, e);
    } else if (node && is_scalar(e)) {
      uint32_t len = 0;
      char *text = get_json_value(e, &len);
      if (!text) continue;
      add_item(ctx, node, text, len);
      free(text);
    }
  }
}

void add_members(waf_json_ctx *ctx, json_object *obj) {
  json_object_iterator it = json_object_iter_begin(obj);
  json_object_iterator end = json_object_iter_end(obj);
  for (; !json_object_iter_equal(&it, &end); json_object_iter_next(&it)) {
    const char *key = json_object_iter_peek_name(&it);
    json_object *v = json_object_iter_peek_value(&it);
    uint32_t key_len = static_cast<uint32_t>(strlen(key));
    if (!v) continue;
    if (is_scalar(v)) {
      add_scalar_node(ctx, key, key_len, v);
    } else if (json_object_is_type(v, json_type_object)) {
      add_node(ctx, WAF_JSON_OBJECT, key, key_len, nullptr, 0);
      add_members(ctx, v);
    } else if (json_object_is_type(v, json_type_array)) {
      add_elements(ctx, add_node(ctx, WAF_JSON_ARRAY, key, key_len, nullptr, 0), v);
    }
  }
}

void flatten_root(waf_json_ctx *ctx, json_object *root) {
  if (!root) return;  // JSON null
  if (is_scalar(root)) {
    add_scalar_node(ctx, "", 0, root);
  } else if (json_object_is_type(root, json_type_object)) {
    add_members(ctx, root);
  } else if (json_object_is_type(root, json_type_array)) {
    add_elements(ctx, add_node(ctx, WAF_JSON_ARRAY, "", 0, nullptr, 0), root);
  }
}

void print_bytes(const char *p, uint32_t len) {
  if (len == 0) return;
  fwrite(p, 1, len, stdout);
  fputc('\n', stdout);
}

void set_error(char *err, int err_size, const char *desc) {
  if (err_size > 0) snprintf(err, static_cast<size_t>(err_size), "%s", desc);
}

}  // namespace

char *get_json_value(json_object *value, uint32_t *len) {
  if (!value) return nullptr;
  char buf[kScalarTextMax + 1];
  const char *src = buf;
  size_t n;
  switch (json_object_get_type(value)) {
    case json_type_boolean:
      n = static_cast<size_t>(
          snprintf(buf, sizeof buf, "%s", json_object_get_boolean(value) ? "true" : "false"));
      break;
    case json_type_double:
      snprintf(buf, sizeof buf, "%lf", json_object_get_double(value));
      n = strlen(buf);
      break;
    case json_type_int:
      n = static_cast<size_t>(snprintf(buf, sizeof buf, "%d", json_object_get_int(value)));
      break;
    case json_type_string:
      src = json_object_get_string(value);
      n = static_cast<size_t>(json_object_get_string_len(value));
      break;
    default:
      return nullptr;
  }
  auto *copy = static_cast<char *>(malloc(n + 1));
  if (!copy) return nullptr;
  memcpy(copy, src, n);
  copy[n] = '\0';
  if (len) *len = static_cast<uint32_t>(n);
  return copy;
}

waf_json_ctx *waf_json_init(const char *text, int length) {
  (void)text;
  if (length < 0) return nullptr;
  auto *ctx = static_cast<waf_json_ctx *>(calloc(1, sizeof(waf_json_ctx)));
  if (!ctx) return nullptr;
  // At least one byte, so that an empty text still gets a real arena pointer.
  ctx->arena = static_cast<char *>(malloc(length > 0 ? static_cast<size_t>(length) : 1));
  if (!ctx->arena) {
    free(ctx);
    return nullptr;
  }
  ctx->capacity = static_cast<uint32_t>(length);
  return ctx;
}

int waf_json_parse(waf_json_ctx *ctx, const char *text, int length, char *err, int err_size) {
  if (!ctx || !err) return -1;
  if (!text || length < 0) {
    set_error(err, err_size, "invalid argument");
    return -1;
  }
  json_tokener *tok = json_tokener_new();
  if (!tok) {
    set_error(err, err_size, "out of memory");
    return -1;
  }
  json_object *obj = json_tokener_parse_ex(tok, text, length);
  json_tokener_error code = json_tokener_get_error(tok);
  if (!obj && code == json_tokener_continue) {
    obj = json_tokener_parse_ex(tok, "", 1);
    code = json_tokener_get_error(tok);
    // Still pending after the end mark: the text stopped inside a value.
    if (code == json_tokener_continue) code = json_tokener_error_parse_eof;
  }
  json_tokener_free(tok);
  if (code != json_tokener_success) {
    set_error(err, err_size, json_tokener_error_desc(code));
    json_object_put(obj);
    return -1;
  }
  flatten_root(ctx, obj);
  json_object_put(obj);
  return 0;
}

void waf_travel_json_node(const waf_json_ctx *ctx) {
  if (!ctx) return;
  for (const waf_json_node *n = ctx->first; n; n = n->next) {
    printf("\n====== node type [%d] =====\n", n->type);
    fputs("Key: ", stdout);
    print_bytes(n->key, n->key_len);
    fputc('\n', stdout);
    if (n->type == WAF_JSON_KEY_VALUE) {
      fputs("Value: ", stdout);
      print_bytes(n->value, n->value_len);
    } else if (n->type == WAF_JSON_ARRAY) {
      int pos = 1;
      for (const waf_json_item *it = n->first_item; it; it = it->next, pos++) {
        printf("Value[%d]: ", pos);
        print_bytes(it->value, it->len);
      }
    }
  }
}

void waf_json_release(waf_json_ctx *ctx) {
  if (!ctx) return;
  for (waf_json_node *n = ctx->first; n;) {
    for (waf_json_item *it = n->first_item; it;) {
      waf_json_item *next_item = it->next;
      free(it);
      it = next_item;
    }
    waf_json_node *next = n->next;
    free(n);
    n = next;
  }
  free(ctx->arena);
  free(ctx);
}

int waf_json_parse_test(const char *text, int length) {
  waf_json_ctx *ctx = waf_json_init(text, length);
  if (!ctx) return -1;
  char err[128];
  int rc = waf_json_parse(ctx, text, length, err, sizeof err);
  if (rc != 0)
    printf("JSON parse error: %s\n", err);
  else
    waf_travel_json_node(ctx);
  waf_json_release(ctx);
  return rc;
}

// JSON tree parser: parses one JSON text with json-c and flattens it into an
// ordered list of typed nodes whose keys and values are copied, as text, into
// one arena owned by the parse context.
//
// The tree is flat: an object member holding an object gives a key-only node
// followed by the inner members; an array gives one node whose items are all
// its scalars, nested arrays included, while objects inside an array add their
// members to the main list after it. Nothing points back into json-c, so the
// context outlives the parse.
//
// The arena is sized by the caller (normally the text's length) and never
// grows: a node or item that does not fit is skipped and the rest of the
// document is still flattened. Keys and values are not NUL-terminated; use
// the lengths.
//
// A context is not thread-safe; give each thread its own.
#pragma once

#include <cstdint>

struct json_object;

constexpr int32_t WAF_JSON_KEY_VALUE = 1;  // key with a scalar value
constexpr int32_t WAF_JSON_ARRAY = 2;
constexpr int32_t WAF_JSON_OBJECT = 3;

// One scalar of an array. Owned by its node.
struct waf_json_item {
  char *value;  // into the arena
  uint32_t len;
  waf_json_item *next;
};

// One key, array or object. Owned by the context; owns its items.
struct waf_json_node {
  int32_t type;
  char *key;  // into the arena
  uint32_t key_len;
  char *value;  // into the arena, type 1 only
  uint32_t value_len;
  waf_json_item *first_item;  // type 2 only
  waf_json_item *last_item;
  waf_json_node *next;
};

// A parse context; owns the arena, the nodes and the items.
struct waf_json_ctx {
  char *arena;
  uint32_t capacity;
  uint32_t used;
  waf_json_node *first;
  waf_json_node *last;
};

// New context with an arena of length bytes (text is the text to be parsed,
// unused beyond its length). Null when length is negative or memory runs out.
// Free with waf_json_release.
waf_json_ctx *waf_json_init(const char *text, int length);
// Parses length bytes of text into ctx. 0; or -1 with json-c's description of
// the error in err (cut to err_size) and no new nodes. Missing ctx or err: -1.
int waf_json_parse(waf_json_ctx *ctx, const char *text, int length, char *err, int err_size);
// Prints every node of ctx to standard output; null prints nothing.
void waf_travel_json_node(const waf_json_ctx *ctx);
// Frees the context with its arena, nodes and items; null is ignored.
void waf_json_release(waf_json_ctx *ctx);
// Parses text and prints its nodes, or "JSON parse error: ..." on failure. 0/-1.
int waf_json_parse_test(const char *text, int length);
// Text form of a scalar (boolean, double, integer, string) as a new
// NUL-terminated string the caller frees with free(); its length (strings may
// hold NUL bytes) in *len when len is given. Null for null, object, array,
// a null value or no memory.
char *get_json_value(json_object *value, uint32_t *len);

#include "json/waf_json.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct CtxFree {
  void operator()(waf_json_ctx *c) const { waf_json_release(c); }
};
using Ctx = std::unique_ptr<waf_json_ctx, CtxFree>;
using std::string;
using V = std::vector<string>;

// Parses text into an arena of its length and lists the nodes as "type key=value" or "type
// key=[items]".
V parse(const string &text) {
  Ctx ctx(waf_json_init(text.data(), static_cast<int>(text.size())));
  char err[128];
  EXPECT_EQ(waf_json_parse(ctx.get(), text.data(), static_cast<int>(text.size()), err, 128), 0);
  V out;
  for (const waf_json_node *n = ctx->first; n; n = n->next) {
    string s = std::to_string(n->type) + " " + string(n->key, n->key_len);
    if (n->type == WAF_JSON_KEY_VALUE) s += "=" + string(n->value, n->value_len);
    if (n->type == WAF_JSON_ARRAY) {
      s += "=[";
      for (const waf_json_item *it = n->first_item; it; it = it->next)
        s += string(it->value, it->len) + (it->next ? "," : "");
      s += "]";
    }
    out.push_back(s);
  }
  return out;
}

TEST(WafJsonTest, FlattensNestingInDocumentOrderWithinTheArena) {
  EXPECT_EQ(parse(R"({"a":1,"b":[1,[2,3],{"c":true}],"d":{"e":"x"}})"),
            (V{"1 a=1", "2 b=[1,2,3]", "1 c=true", "3 d", "1 e=x"}));
  EXPECT_EQ(parse(R"({"n":null,"arr":[null,false,null],"s":"z"})"), (V{"2 arr=[false]", "1 s=z"}));
  // What does not fit the arena is skipped.
  EXPECT_EQ(parse(R"({"p":0.5})"), (V{"1 p=0.500000"}));
  EXPECT_EQ(parse(R"({"p":1.5e3})"), V{});
}

TEST(WafJsonTest, PrintsTheNodeFormat) {
  const string text = R"({"a":[1,""],"o":{},"k":"v"})";
  testing::internal::CaptureStdout();
  EXPECT_EQ(waf_json_parse_test(text.data(), static_cast<int>(text.size())), 0);
  EXPECT_EQ(waf_json_parse_test("\"s\"", 3), 0);
  EXPECT_EQ(waf_json_parse_test("{\"a\":}", 6), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n====== node type [2] =====\nKey: a\n\nValue[1]: 1\nValue[2]: "
            "\n====== node type [3] =====\nKey: o\n\n"
            "\n====== node type [1] =====\nKey: k\n\nValue: v\n"
            "\n====== node type [1] =====\nKey: \nValue: s\n"
            "JSON parse error: unexpected character\n");
}

TEST(WafJsonTest, InvalidTextGivesJsonCError) {
  Ctx ctx(waf_json_init("", 64));
  char err[128];
  EXPECT_EQ(waf_json_parse(ctx.get(), "[1,,2]", 6, err, 128), -1);
  EXPECT_STREQ(err, json_tokener_error_desc(json_tokener_error_parse_unexpected));
}

// Any bytes, any length, each text in a buffer of exactly its length so the
// sanitizer build sees a read past it. Seeded: every run is the same. Half the
// texts are random, half a document with a few bytes changed, so that many
// parse into several nodes whose numbers print longer than they were written.
// A text is refused with no nodes, or parsed into nodes that all lie in the
// arena.
TEST(WafJsonTest, ArbitraryBytesNeverBreakTheArena) {
  std::mt19937 rng(20240611);
  const string alphabet = "{}[]:,\"\\ 0123456789.eE-+truefalsnul\x01\xff";
  const string seed = R"({"a":[0.5,1.5,2.5,3.5],"b":{"c":4.5,"d":5.5},"e":6.5})";
  int parsed = 0;
  for (int round = 0; round < 4000; round++) {
    std::vector<char> text(round % 2 ? rng() % 64 : seed.size());
    for (size_t i = 0; i < text.size(); i++)
      text[i] = round % 2 == 0   ? seed[i]
                : rng() % 8 == 0 ? static_cast<char>(rng())
                                 : alphabet[rng() % alphabet.size()];
    for (int k = round % 2 ? 0 : static_cast<int>(rng() % 3); k > 0; k--)
      text[rng() % text.size()] = alphabet[rng() % alphabet.size()];
    Ctx ctx(waf_json_init(text.data(), static_cast<int>(text.size())));
    char err[16];
    const int rc = waf_json_parse(ctx.get(), text.data(), static_cast<int>(text.size()), err, 16);
    ASSERT_TRUE(rc == 0 || (rc == -1 && ctx->first == nullptr && strlen(err) < 16));
    ASSERT_LE(ctx->used, ctx->capacity);
    auto inside = [&](const char *p, uint32_t len) {
      return len == 0 || (p >= ctx->arena && p + len <= ctx->arena + ctx->used);
    };
    for (const waf_json_node *n = ctx->first; n; n = n->next) {
      ASSERT_TRUE(inside(n->key, n->key_len) && inside(n->value, n->value_len));
      for (const waf_json_item *it = n->first_item; it; it = it->next)
        ASSERT_TRUE(inside(it->value, it->len));
    }
    parsed += rc == 0;
  }
  EXPECT_GT(parsed, 100);  // the alphabet makes valid texts common enough to matter
}

}  // namespace

#include "json/waf_json.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

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

// Parses text into an arena of `arena` bytes (the text's length by default)
// and lists the nodes as "type key=value" or "type key=[items]".
V parse(const string &text, int arena = -1, uint32_t *used = nullptr) {
  Ctx ctx(waf_json_init(text.data(), arena < 0 ? static_cast<int>(text.size()) : arena));
  char err[128];
  EXPECT_EQ(waf_json_parse(ctx.get(), text.data(), static_cast<int>(text.size()), err, 128), 0);
  if (used) *used = ctx->used;
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
  EXPECT_EQ(parse("7"), (V{"1 =7"}));
  EXPECT_EQ(parse("null"), V{});
  // Integers are read as 32 bits; a non-string text stops at 32 characters.
  V big = parse(R"({"i":1099511627776,"d":1e300,"t":"a\u0000b"})", 400);
  ASSERT_EQ(big.size(), 3u);
  EXPECT_EQ(big[0] + "|" + big[2], string("1 i=2147483647|1 t=a\0b", 22));
  EXPECT_EQ(big[1].substr(0, 4) + std::to_string(big[1].size()), "1 d=36");
  // What does not fit the arena is skipped; when an array's node does not fit,
  // its scalars go and its objects' members stay.
  uint32_t used = 0;
  EXPECT_EQ(parse(R"({"p":0.5})", -1, &used), (V{"1 p=0.500000"}));
  EXPECT_EQ(used, 9u);
  EXPECT_EQ(parse(R"({"p":1.5e3})", -1, &used), V{});
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(parse(R"({"long_key":[1,{"a":"b"},2]})", 2), (V{"1 a=b"}));
  EXPECT_EQ(parse(R"({"big":"0123456789","s":"v"})", 4), (V{"1 s=v"}));
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

TEST(WafJsonTest, InvalidTextGivesJsonCErrorAndNoNodes) {
  Ctx ctx(waf_json_init("", 64));
  char err[128];
  for (auto [text, code] : {std::pair{"{\"a\":1", json_tokener_error_parse_eof},
                            {"", json_tokener_error_parse_eof},
                            {"\"open", json_tokener_error_parse_eof},
                            {"[1,,2]", json_tokener_error_parse_unexpected}}) {
    EXPECT_EQ(waf_json_parse(ctx.get(), text, static_cast<int>(strlen(text)), err, 128), -1);
    EXPECT_STREQ(err, json_tokener_error_desc(code)) << text;
  }
  EXPECT_EQ(ctx->first, nullptr);
  EXPECT_EQ(waf_json_parse(ctx.get(), "{\"a\":1}", 3, err, 4), -1);  // the length bounds the parse
  EXPECT_STREQ(err, "une");
  EXPECT_EQ(waf_json_parse(nullptr, "1", 1, err, 128), -1);
  EXPECT_EQ(waf_json_parse(ctx.get(), "1", 1, nullptr, 0), -1);
  EXPECT_EQ(waf_json_init("", -1), nullptr);
}

// Any bytes, any length, each text in a buffer of exactly its length so the
// sanitizer build sees a read past it. Seeded: every run is the same.
TEST(WafJsonTest, ArbitraryBytesNeverBreakTheArena) {
  std::mt19937 rng(20240611);
  const string alphabet = "{}[]:,\"\\ 0123456789.eE-+truefalsnul\x01\xff";
  for (int round = 0; round < 3000; round++) {
    std::vector<char> text(rng() % 64);
    for (char &ch : text)
      ch = rng() % 8 == 0 ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()];
    Ctx ctx(waf_json_init(text.data(), static_cast<int>(text.size())));
    char err[16];
    int rc = waf_json_parse(ctx.get(), text.data(), static_cast<int>(text.size()), err, 16);
    ASSERT_TRUE(rc == 0 || (rc == -1 && ctx->first == nullptr));
    ASSERT_LE(ctx->used, ctx->capacity);
  }
}

}  // namespace

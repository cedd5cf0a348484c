#include "json/waf_json.h"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <memory>
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

}  // namespace

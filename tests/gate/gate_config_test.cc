// The gateway's configuration file: what a good one gives, and that every
// mistake an operator makes is refused with where it is, so that a reload
// keeps the last good file.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "gate/gate_config.h"
#include "tests/testutil/testutil.h"
#include "verdict/verdict.h"

namespace {

using std::string;

const char *kGood = R"({
  "listen": {"http": "127.0.0.1:18088"},
  "point": "potential",
  "domains": [
    {"host": "Shop.Example", "aliases": ["www.shop.example:8080"], "domain_id": 3,
     "policy": "default", "db": "shop_db", "mode": "block"},
    {"host": "blog.example", "domain_id": 4}
  ]
})";

TEST(GateConfig, AGoodFileGivesSitesByHostAndDefaultsForWhatItLeavesOut) {
  gate::Config c;
  string err;
  ASSERT_TRUE(gate::parse_config(kGood, &c, &err)) << err;
  EXPECT_EQ(c.http_listen, "127.0.0.1:18088");
  EXPECT_EQ(c.spoe_listen, "127.0.0.1:12345");  // left out: the default
  EXPECT_EQ(c.redis_port, 6379);
  EXPECT_EQ(c.point, MLV_POINT_POTENTIAL);
  ASSERT_EQ(c.sites.size(), 2u);
  const gate::Site *s = c.site("shop.example");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->domain_id, 3u);
  EXPECT_EQ(s->mode, gate::Mode::block);
  EXPECT_EQ(c.site("WWW.shop.example:443"), s);  // hosts as mlfeed keys them
  EXPECT_EQ(c.site("SHOP.example:80"), s);
  EXPECT_EQ(c.site("blog.example")->mode, gate::Mode::detect);  // the default mode
  EXPECT_EQ(c.site("other.example"), nullptr);
  EXPECT_EQ(c.site(""), nullptr);
}

TEST(GateConfig, EveryMistakeIsRefusedWithWhereItIs) {
  const std::pair<string, string> bad[] = {
      {"{", "not JSON: it ends too early"},
      {"{\"domains\": [}", "not JSON"},
      {"[]", "expected an object"},
      {"{}", "domains: expected an array"},
      {R"({"domains": [{"domain_id": 3}]})", "domains[0].host: missing"},
      {R"({"domains": [{"host": "a.example", "domain_id": 0}]})",
       "domains[0].domain_id: expected 1 to"},
      {R"({"domains": [{"host": "a.example", "domain_id": "3"}]})",
       "domains[0].domain_id: expected a whole number"},
      {R"({"domains": [{"host": "a.example", "domain_id": 3, "mode": "deny"}]})",
       "domains[0].mode: expected learn, detect or block"},
      {R"({"domains": [{"host": "a.example", "domain_id": 3}, {"host": "A.example:81", "domain_id": 4}]})",
       "domains[1].host: host a.example named twice"},
      {R"({"domains": [{"host": "a.example", "domain_id": 3, "aliases": ["a.example"]}]})",
       "domains[0].aliases: host a.example named twice"},
      {R"({"domains": [{"host": "a b", "domain_id": 3}]})", "domains[0].host: not a host name"},
      {R"({"point": "maybe", "domains": []})", "point: expected definite or potential"},
      {R"({"redis": {"port": 70000}, "domains": []})", "redis.port: expected 1 to 65535"},
      {R"({"listen": {"http": ""}, "domains": []})", "listen.http: empty"},
  };
  for (const auto &[text, want] : bad) {
    gate::Config c;
    string err;
    EXPECT_FALSE(gate::parse_config(text, &c, &err)) << text;
    EXPECT_NE(err.find(want), string::npos) << text << " -> " << err;
  }
  gate::Config c;
  string err;
  EXPECT_FALSE(gate::parse_config(string(gate::kConfigMax + 1, ' '), &c, &err));
  mlt::TempDir tmp;
  EXPECT_FALSE(gate::load_config((tmp / "none.json"), &c, &err));
  EXPECT_NE(err.find("none.json: No such file"), string::npos) << err;
  mlt::write_file(tmp / "gate.json", kGood);
  EXPECT_TRUE(gate::load_config(tmp / "gate.json", &c, &err)) << err;
}

}  // namespace

// The SPOP codec against frames written byte by byte from HAProxy's
// protocol description, and against every truncation of them.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "gate/spop.h"

namespace {

using std::string;

string varint(uint64_t x) {
  string s;
  spop::put_varint(&s, x);
  return s;
}

string text(const string &s) { return varint(s.size()) + s; }

TEST(Spop, VarintsRoundTripAndKeepTheirDocumentedLengths) {
  // 1 byte below 240, 2 below 2288, 3 below 264432, 4 below 33818864.
  const std::vector<std::pair<uint64_t, size_t>> lengths = {
      {0, 1},      {239, 1},      {240, 2},      {2287, 2},       {2288, 3},       {264431, 3},
      {264432, 4}, {33818863, 4}, {33818864, 5}, {UINT32_MAX, 5}, {UINT64_MAX, 10}};
  for (const auto &[x, n] : lengths) {
    const string s = varint(x);
    EXPECT_EQ(s.size(), n) << x;
    size_t pos = 0;
    uint64_t back = 0;
    ASSERT_TRUE(spop::get_varint(s, &pos, &back)) << x;
    EXPECT_EQ(back, x);
    EXPECT_EQ(pos, s.size());
    for (size_t cut = 0; cut < s.size(); ++cut) {
      pos = 0;
      EXPECT_FALSE(spop::get_varint(s.substr(0, cut), &pos, &back)) << x << " cut " << cut;
    }
  }
  EXPECT_EQ(varint(240), string("\xf0\x00", 2));
  std::mt19937_64 rng(5);
  for (int i = 0; i < 10000; ++i) {
    const uint64_t x = rng() >> (rng() % 64);
    size_t pos = 0;
    uint64_t back = 0;
    const string s = varint(x);
    ASSERT_TRUE(spop::get_varint(s, &pos, &back));
    ASSERT_EQ(back, x);
  }
  // Continuation bytes without end are refused, not read past 64 bits.
  size_t pos = 0;
  uint64_t x = 0;
  EXPECT_FALSE(spop::get_varint(string(1, '\xff') + string(20, '\xff') + "\x01", &pos, &x));
}

// A HAPROXY-HELLO as HAProxy sends it: type 1, FIN, ids 0, a KV-LIST.
string haproxy_hello() {
  string f("\x01\x00\x00\x00\x01\x00\x00", 7);
  f += text("supported-versions") + "\x08" + text("2.0");
  f += text("max-frame-size") + "\x03" + varint(16380);
  f += text("capabilities") + "\x08" + text("pipelining");
  f += text("healthcheck") + string(1, '\x11');
  f += text("engine-id") + "\x08" + text("3A2F");
  return f;
}

TEST(Spop, AHelloFromHaproxyIsReadAndAnswered) {
  spop::Frame f;
  const string frame = haproxy_hello();  // the frame's views point into it
  ASSERT_TRUE(spop::parse_frame(frame, &f));
  EXPECT_EQ(f.type, spop::kHaproxyHello);
  EXPECT_EQ(f.flags, spop::kFlagFin);
  EXPECT_EQ(f.stream_id, 0u);
  std::vector<spop::Arg> kv;
  ASSERT_TRUE(spop::parse_kv_list(f.payload, &kv));
  ASSERT_EQ(kv.size(), 5u);
  EXPECT_EQ(spop::find(kv, "supported-versions")->bytes, "2.0");
  EXPECT_EQ(spop::find(kv, "max-frame-size")->number, 16380u);
  EXPECT_EQ(spop::find(kv, "healthcheck")->type, spop::kBool);
  EXPECT_EQ(spop::find(kv, "healthcheck")->number, 1u);
  EXPECT_EQ(spop::find(kv, "nothing"), nullptr);

  const string hello = spop::agent_hello(16380, "");
  ASSERT_GE(hello.size(), 4u);
  const uint32_t len = static_cast<uint8_t>(hello[0]) << 24 | static_cast<uint8_t>(hello[1]) << 16 |
                       static_cast<uint8_t>(hello[2]) << 8 | static_cast<uint8_t>(hello[3]);
  EXPECT_EQ(len, hello.size() - 4);
  EXPECT_EQ(hello.substr(4, 7), string("\x65\x00\x00\x00\x01\x00\x00", 7));
  const string body = hello.substr(4);
  ASSERT_TRUE(spop::parse_frame(body, &f));
  kv.clear();
  ASSERT_TRUE(spop::parse_kv_list(f.payload, &kv));
  EXPECT_EQ(spop::find(kv, "version")->bytes, "2.0");
  EXPECT_EQ(spop::find(kv, "max-frame-size")->number, 16380u);
  EXPECT_EQ(spop::find(kv, "capabilities")->type, spop::kString);
}

// A NOTIFY with one message of a request: method, path, query and body.
string notify() {
  string f("\x03\x00\x00\x00\x01", 5);
  f += varint(1234) + varint(7);
  f += text("check-request") + "\x05";
  f += text("method") + "\x08" + text("POST");
  f += text("host") + "\x08" + text("shop.example");
  f += text("path") + "\x08" + text("/cart");
  f += text("query") + "\x08" + text("q=1&page=2");
  f += text("body") + "\x09" + text(string("qty=2\0x", 7));
  return f;
}

TEST(Spop, ANotifyGivesItsMessagesAndAnAckCarriesTheVerdict) {
  spop::Frame f;
  const string frame = notify();
  ASSERT_TRUE(spop::parse_frame(frame, &f));
  EXPECT_EQ(f.type, spop::kNotify);
  EXPECT_EQ(f.stream_id, 1234u);
  EXPECT_EQ(f.frame_id, 7u);
  std::vector<spop::Message> msgs;
  ASSERT_TRUE(spop::parse_messages(f.payload, &msgs));
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].name, "check-request");
  ASSERT_EQ(msgs[0].args.size(), 5u);
  EXPECT_EQ(msgs[0].args[3].value.bytes, "q=1&page=2");
  EXPECT_EQ(msgs[0].args[4].value.type, spop::kBinary);
  EXPECT_EQ(msgs[0].args[4].value.bytes, string("qty=2\0x", 7));
  // Bounded: one argument more than allowed refuses the frame.
  msgs.clear();
  EXPECT_FALSE(spop::parse_messages(f.payload, &msgs, 4));

  spop::Ack ack(1234, 7);
  ack.set_string(spop::kTransaction, "verdict", "definite");
  ack.set_int(spop::kTransaction, "block", 1);
  const string out = ack.finish();
  string want("\x67\x00\x00\x00\x01", 5);
  want += varint(1234) + varint(7);
  want += string("\x01\x03\x02", 3) + text("verdict") + "\x08" + text("definite");
  want += string("\x01\x03\x02", 3) + text("block") + "\x04" + varint(1);
  EXPECT_EQ(out.substr(4), want);
}

// Anyone who reaches the agent's socket chooses the bytes: every truncation
// of a valid frame, and random bytes, are refused or read within bounds.
TEST(Spop, CutAndRandomFramesAreRefusedWithinTheirBounds) {
  for (const string &whole : {haproxy_hello(), notify()}) {
    for (size_t cut = 0; cut < whole.size(); ++cut) {
      const string part = whole.substr(0, cut);
      spop::Frame f;
      if (!spop::parse_frame(part, &f)) continue;
      std::vector<spop::Arg> kv;
      std::vector<spop::Message> msgs;
      const bool ok = f.type == spop::kNotify ? spop::parse_messages(f.payload, &msgs)
                                              : spop::parse_kv_list(f.payload, &kv);
      // A cut between two items still reads as a shorter list; inside one, never.
      for (const auto &a : kv) EXPECT_LE(a.value.bytes.size(), part.size());
      (void)ok;
    }
  }
  std::mt19937 rng(9);
  for (int i = 0; i < 20000; ++i) {
    string junk(rng() % 64, '\0');
    for (char &c : junk) c = static_cast<char>(rng());
    spop::Frame f;
    std::vector<spop::Arg> kv;
    std::vector<spop::Message> msgs;
    if (spop::parse_frame(junk, &f)) {
      spop::parse_kv_list(f.payload, &kv);
      spop::parse_messages(f.payload, &msgs);
    }
    for (const auto &m : msgs) EXPECT_LE(m.args.size(), 255u);
  }
  // A string that claims more bytes than the frame holds.
  std::vector<spop::Arg> kv;
  EXPECT_FALSE(spop::parse_kv_list(text("k") + "\x08" + varint(1000) + "abc", &kv));
  EXPECT_FALSE(spop::parse_kv_list(text("k") + "\x0a", &kv));  // a reserved type
}

}  // namespace

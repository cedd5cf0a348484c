// mlfeed's parsing: decoding as a server decodes forms, raw requests with
// their bodies, combined log lines, and refusal of malformed input with the
// line where the request begins.
#include "tools/mlfeed/request_parse.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using mlfeed::Argument;
using mlfeed::Format;
using mlfeed::Reader;
using mlfeed::Request;

std::vector<std::pair<std::string, std::string>> pairs(const std::vector<Argument> &args) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto &a : args) out.emplace_back(a.name, a.value);
  return out;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Reads every request; errors are collected as "line:message".
struct ReadAll {
  std::vector<Request> requests;
  std::vector<unsigned> error_lines;
  Format format = Format::automatic;
};

ReadAll read_all(const std::string &text, Format format = Format::automatic,
                 const std::string &default_host = "") {
  std::istringstream in(text);
  Reader reader(in, format, default_host);
  ReadAll out;
  Request req;
  for (int rc; (rc = reader.next(&req)) != 0;) {
    if (rc < 0)
      out.error_lines.push_back(reader.error_line());
    else
      out.requests.push_back(req);
  }
  out.format = reader.format();
  return out;
}

TEST(RequestParse, DecodesNamesAndValuesAsAFormDoes) {
  std::vector<Argument> args;
  mlfeed::parse_arguments(
      "q=red+shoes%21&na%6De=J%C3%BCrgen&bad=100%&odd=%zz%4&=orphan&&flag&tag=a&tag=&tag=b%2Bc",
      &args);
  EXPECT_EQ(pairs(args), (Pairs{{"q", "red shoes!"},
                                {"name", "J\xC3\xBCrgen"},
                                {"bad", "100%"},
                                {"odd", "%zz%4"},
                                {"flag", ""},
                                {"tag", "a"},
                                {"tag", ""},
                                {"tag", "b+c"}}));
  EXPECT_EQ(mlfeed::url_decode("a+b%20c%00", false), std::string("a+b c\0", 6));

  std::string host, path, query;
  ASSERT_TRUE(mlfeed::split_target("/a%20b+c/x?y=1&z#frag", &host, &path, &query));
  EXPECT_EQ(host, "");
  EXPECT_EQ(path, "/a b+c/x");  // '+' is a blank only in forms
  EXPECT_EQ(query, "y=1&z");
  ASSERT_TRUE(mlfeed::split_target("HTTP://WWW.Shop.Example:8080?id=3", &host, &path, &query));
  EXPECT_EQ(host, "www.shop.example");
  EXPECT_EQ(path, "/");
  EXPECT_EQ(query, "id=3");
  EXPECT_FALSE(mlfeed::split_target("shop/x", &host, &path, &query));
  EXPECT_FALSE(mlfeed::split_target("http:///x", &host, &path, &query));
  EXPECT_EQ(mlfeed::normal_host("[::1]:443"), "[::1]");
  EXPECT_EQ(mlfeed::normal_host("::1"), "::1");
}

TEST(RequestParse, ReadsRawRequestsWithTheirBodies) {
  const std::string text =
      "\r\n"
      "GET /search?q=a+b&page=2 HTTP/1.1\r\n"  // line 2
      "Host: Shop.Example:8080\r\n"
      "X-Folded: one\r\n"
      "  two\r\n"
      "\r\n"
      "POST /cart/add?src=list HTTP/1.1\r\n"  // line 7
      "host: shop.example\r\n"
      "Content-Type: Application/X-WWW-Form-Urlencoded; charset=UTF-8\r\n"
      "Content-Length: 31\r\n"
      "\r\n"
      "id=12&note=line1%0A\nline2&qty=3"  // lines 12-13
      "\r\n\r\n"
      "POST /api HTTP/1.1\r\n"  // line 15
      "Content-Type: application/json\r\n"
      "Content-Length: 9\r\n"
      "\r\n"
      "{\"a\":1}\r\n"
      "POST /chunked HTTP/1.1\r\n"  // line 20
      "Host: shop.example\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Transfer-Encoding: chunked\r\n"
      "\r\n"
      "5\r\nname=\r\n"
      "7;ext=1\r\nJo+Doe&\r\n"
      "0\r\n"
      "\r\n"
      "GET /about HTTP/1.0\r\n";  // line 31, no blank line after it
  ReadAll all = read_all(text, Format::automatic, "default.example");
  EXPECT_EQ(all.format, Format::raw);
  ASSERT_TRUE(all.error_lines.empty()) << all.error_lines[0];
  ASSERT_EQ(all.requests.size(), 5u);
  const auto &r = all.requests;
  EXPECT_EQ(r[0].line, 2u);
  EXPECT_EQ(r[0].host, "shop.example");
  EXPECT_EQ(r[0].path, "/search");
  EXPECT_EQ(pairs(r[0].args), (Pairs{{"q", "a b"}, {"page", "2"}}));
  EXPECT_EQ(r[1].line, 7u);
  EXPECT_EQ(r[1].method, "POST");
  EXPECT_EQ(pairs(r[1].args),
            (Pairs{{"src", "list"}, {"id", "12"}, {"note", "line1\n\nline2"}, {"qty", "3"}}));
  EXPECT_EQ(r[2].line, 15u);
  EXPECT_EQ(r[2].host, "default.example");  // no Host header
  EXPECT_TRUE(r[2].args.empty());           // a JSON body carries no form arguments
  EXPECT_EQ(r[3].line, 20u);
  EXPECT_EQ(pairs(r[3].args), (Pairs{{"name", "Jo Doe"}}));
  EXPECT_EQ(r[4].line, 31u);
  EXPECT_EQ(r[4].path, "/about");
  EXPECT_TRUE(r[4].args.empty());
}

TEST(RequestParse, ReadsCombinedAndCommonLogLines) {
  const std::string text =
      "203.0.113.9 - - [06/Dec/2026:10:00:00 +0000] \"GET /product?id=42&ref=a%2Bb HTTP/1.1\" "
      "200 512 \"https://shop.example/\" \"Mozilla/5.0 (X11)\"\n"
      "203.0.113.9 - alice [06/Dec/2026:10:00:01 +0000] \"GET /q?s=say+\\\"hi\\\"&x=\\x41 "
      "HTTP/1.1\" 200 -\n"
      "198.51.100.7 - - [06/Dec/2026:10:00:02 +0000] \"-\" 408 0 \"-\" \"-\"\n"
      "198.51.100.7 - - [06/Dec/2026:10:00:03 +0000] \"GET http://Other.Example/p?a=1 "
      "HTTP/1.1\" 200 1\n"
      "198.51.100.7 - - [06/Dec/2026:10:00:04 +0000] \"HEAD / HTTP/1.1\" 200 0\n";
  ReadAll all = read_all(text, Format::automatic, "shop.example");
  EXPECT_EQ(all.format, Format::combined);
  ASSERT_TRUE(all.error_lines.empty());
  ASSERT_EQ(all.requests.size(), 4u);  // the "-" line is no request
  const auto &r = all.requests;
  EXPECT_EQ(r[0].line, 1u);
  EXPECT_EQ(r[0].host, "shop.example");
  EXPECT_EQ(r[0].path, "/product");
  EXPECT_EQ(pairs(r[0].args), (Pairs{{"id", "42"}, {"ref", "a+b"}}));
  EXPECT_EQ(pairs(r[1].args), (Pairs{{"s", "say \"hi\""}, {"x", "A"}}));
  EXPECT_EQ(r[2].line, 4u);
  EXPECT_EQ(r[2].host, "other.example");
  EXPECT_EQ(r[3].method, "HEAD");
  EXPECT_TRUE(r[3].args.empty());
}

TEST(RequestParse, RefusesMalformedInputWithItsLineAndResumes) {
  const std::string raw =
      "GET /a?x=1 HTTP/1.1\n"  // 1
      "Host: s\n"
      "\n"
      "GET /b?x=2 HTTP/1.1\n"       // 4
      "this header has no colon\n"  // 5: refused here
      "Host: s\n"
      "\n"
      "POST /c HTTP/1.1\n"     // 8
      "Content-Length: 12x\n"  // 9
      "\n"
      "x=1&y=2\n"  // 11: a body without a length is no request
      "\n"
      "GET /d?x=4 HTTP/1.1\n"  // 13
      "\n"
      "POST /e HTTP/1.1\n"  // 15
      "Content-Type: application/x-www-form-urlencoded\n"
      "Content-Length: 40\n"
      "\n"
      "x=5\n";  // ends before 40 bytes
  ReadAll all = read_all(raw, Format::raw);
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{5, 9, 11, 15}));
  ASSERT_EQ(all.requests.size(), 2u);
  EXPECT_EQ(all.requests[0].line, 1u);
  EXPECT_EQ(all.requests[1].line, 13u);

  const std::string log =
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET /a?x=1 HTTP/1.1\" 200 1\n"
      "GET /not/a/log/line HTTP/1.1\n"
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET /a?x=1 HTTP/1.1\n"
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"\\x16\\x03\\x01\" 400 0\n"
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET a?x=1 HTTP/1.1\" 200 1\n"
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET /a?x=6 HTTP/1.1\" 200 1\n";
  all = read_all(log, Format::automatic);
  EXPECT_EQ(all.format, Format::combined);
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{2, 3, 4, 5}));
  ASSERT_EQ(all.requests.size(), 2u);
  EXPECT_EQ(all.requests[1].line, 6u);
}

}  // namespace

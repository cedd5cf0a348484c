// mlfeed's parsing: decoding as a server decodes forms, raw requests with
// their bodies, combined log lines, and refusal of malformed input with the
// line where the request begins.
#include "traffic/request_parse.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

using traffic::Argument;
using traffic::Format;
using traffic::Reader;
using traffic::Request;

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
                 const std::string &default_host = "", bool keep_raw = false,
                 traffic::Limits limits = {}) {
  std::istringstream in(text);
  Reader reader(in, format, default_host, limits);
  reader.keep_raw(keep_raw);
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
  traffic::parse_arguments(
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
  EXPECT_EQ(traffic::url_decode("a+b%20c%00", false), std::string("a+b c\0", 6));

  std::string host, path, query;
  ASSERT_TRUE(traffic::split_target("/a%20b+c/x?y=1&z#frag", &host, &path, &query));
  EXPECT_EQ(host, "");
  EXPECT_EQ(path, "/a b+c/x");  // '+' is a blank only in forms
  EXPECT_EQ(query, "y=1&z");
  ASSERT_TRUE(traffic::split_target("HTTP://WWW.Shop.Example:8080?id=3", &host, &path, &query));
  EXPECT_EQ(host, "www.shop.example");
  EXPECT_EQ(path, "/");
  EXPECT_EQ(query, "id=3");
  EXPECT_FALSE(traffic::split_target("shop/x", &host, &path, &query));
  EXPECT_FALSE(traffic::split_target("http:///x", &host, &path, &query));
  EXPECT_EQ(traffic::normal_host("[::1]:443"), "[::1]");
  EXPECT_EQ(traffic::normal_host("::1"), "::1");
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

using Headers = std::vector<std::pair<std::string, std::string>>;

Headers headers(const Request &r) {
  Headers out;
  for (const auto &h : r.headers) out.emplace_back(h.name, h.value);
  return out;
}

// A replay sends the request as recorded: the raw target, every header line
// and any body. Decoding needs none of it, and a reader not asked keeps none.
TEST(RequestParse, KeepsTheRecordedRequestOnlyWhenAsked) {
  const std::string json = "{\"a\":[1,2]}\r\n{\"b\":\"\xc3\xbc\"}";
  const std::string text =
      "GET /a/../b%20c?q=a+b%21&x HTTP/1.1\r\n"
      "Host: Shop.Example:8080\r\n"
      "X-Folded: one\r\n"
      " \ttwo \r\n"
      "X-Empty:\r\n"
      "\r\n"
      "POST http://Other.Example/api HTTP/1.1\r\n"
      "Content-Type: application/json\r\n"
      "Content-Length: " +
      std::to_string(json.size()) + "\r\n\r\n" + json +
      "POST /f HTTP/1.1\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Transfer-Encoding: chunked\r\n\r\n"
      "4\r\na=1&\r\n3\r\nb=2\r\n0\r\n\r\n";
  const ReadAll plain = read_all(text, Format::raw);
  const ReadAll raw = read_all(text, Format::raw, "", true);
  ASSERT_TRUE(raw.error_lines.empty()) << raw.error_lines[0];
  ASSERT_EQ(raw.requests.size(), 3u);
  ASSERT_EQ(plain.requests.size(), 3u);
  for (size_t i = 0; i < 3; i++) {  // what was decoded before is decoded the same
    EXPECT_EQ(raw.requests[i].path, plain.requests[i].path);
    EXPECT_EQ(pairs(raw.requests[i].args), pairs(plain.requests[i].args));
    EXPECT_EQ(plain.requests[i].target, "");
    EXPECT_TRUE(plain.requests[i].headers.empty());
    EXPECT_EQ(plain.requests[i].body, "");
  }
  const auto &r = raw.requests;
  EXPECT_EQ(r[0].target, "/a/../b%20c?q=a+b%21&x");
  EXPECT_EQ(r[0].path, "/a/../b c");
  EXPECT_EQ(headers(r[0]),
            (Headers{{"Host", "Shop.Example:8080"}, {"X-Folded", "one two"}, {"X-Empty", ""}}));
  EXPECT_EQ(r[0].body, "");
  EXPECT_EQ(r[1].target, "http://Other.Example/api");
  EXPECT_EQ(r[1].body, json);  // a JSON body, byte for byte, yet no arguments
  EXPECT_TRUE(r[1].args.empty());
  EXPECT_EQ(r[2].body, "a=1&b=2");  // chunks joined
  EXPECT_EQ(headers(r[2]).back(),
            (std::pair<std::string, std::string>{"Transfer-Encoding", "chunked"}));
  EXPECT_EQ(pairs(r[2].args), (Pairs{{"a", "1"}, {"b", "2"}}));

  // A log line's target has the server's escapes undone, and nothing else.
  const ReadAll log = read_all(
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET /q?s=say+\\\"hi\\\"&t=%41 HTTP/1.1\" 200 1\n",
      Format::combined, "h", true);
  ASSERT_EQ(log.requests.size(), 1u);
  EXPECT_EQ(log.requests[0].target, "/q?s=say+\"hi\"&t=%41");
  EXPECT_TRUE(log.requests[0].headers.empty());

  // The body bound holds for kept bodies too: at the bound kept, past it refused.
  traffic::Limits small;
  small.body = static_cast<long long>(json.size());
  EXPECT_EQ(read_all(text, Format::raw, "", true, small).requests[1].body, json);
  small.body--;
  const ReadAll over = read_all(text, Format::raw, "", true, small);
  EXPECT_EQ(over.error_lines, (std::vector<unsigned>{7}));
  ASSERT_EQ(over.requests.size(), 2u);
  EXPECT_EQ(over.requests[1].body, "a=1&b=2");
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
      "GET /d?x=4 HTTP/1.1\n"  // 8
      "\n"
      "POST /e HTTP/1.1\n"  // 10
      "Content-Type: application/x-www-form-urlencoded\n"
      "Content-Length: 40\n"
      "\n"
      "x=5\n";  // ends before 40 bytes
  ReadAll all = read_all(raw, Format::raw);
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{5, 10}));
  ASSERT_EQ(all.requests.size(), 2u);
  EXPECT_EQ(all.requests[0].line, 1u);
  EXPECT_EQ(all.requests[1].line, 8u);

  const std::string log =
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET /a?x=1 HTTP/1.1\" 200 1\n"
      "GET /not/a/log/line HTTP/1.1\n"
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET /a?x=1 HTTP/1.1\n"
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"\\x16\\x03\\x01\" 400 0\n"
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET a?x=1 HTTP/1.1\" 200 1\n"
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET http://a b/x?q=1 HTTP/1.1\" 200 1\n"
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] "
      "\"GET http://a\\x0a\\x1b[2Jb/x?q=1 HTTP/1.1\" 200 1\n"
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET /a?x=6 HTTP/1.1\" 200 1\n";
  all = read_all(log, Format::automatic);
  EXPECT_EQ(all.format, Format::combined);
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{2, 3, 4, 5, 6, 7}));
  ASSERT_EQ(all.requests.size(), 2u);
  EXPECT_EQ(all.requests[1].line, 8u);
  // A default host is the host of every log line, and is checked as well.
  all = read_all(log.substr(0, log.find('\n') + 1), Format::combined, "bad\x1b[2Jhost");
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{1}));
}

// With --keep-going a refused request is skipped whole: its body must never
// be read as requests, or a body holding a request line would be fed.
TEST(RequestParse, SkipsTheBodyOfARefusedRequestAndStopsWhereItsEndIsUnknown) {
  const std::string smuggled = "GET /admin?cmd=1 HTTP/1.1\n\n";
  const std::string chunk = "GET /admin?cmd=2 HTTP/1.1\n\n";
  char size[16];
  snprintf(size, sizeof size, "%zx", chunk.size());
  std::string raw = "POST /a HTTP/1.1\n";  // 1
  raw += "bad header\n";                   // 2: refused
  raw += "Content-Length: " + std::to_string(smuggled.size()) + "\n\n";
  raw += smuggled;                                      // 5-6
  raw += "POST /b HTTP/1.1\n";                          // 7: refused, a host with a blank
  raw += "Host: a b\nTransfer-Encoding: chunked\n\n";   // 8-10
  raw += std::string(size) + "\n" + chunk + "\n0\n\n";  // 11-16
  raw += "get /c?x=1 HTTP/1.1\n";                       // 17: refused, not a method
  raw += "Content-Length: " + std::to_string(smuggled.size()) + "\n\n";  // 18-19
  raw += smuggled;                                                       // 20-21
  raw += "GET /ok?x=3 HTTP/1.1\n\n";                                     // 22
  raw += "POST /d HTTP/1.1\n";                                           // 24
  raw += "Content-Length: 1x\n\n";                                       // 25: the end is lost
  raw += smuggled;
  raw += "GET /ok?x=4 HTTP/1.1\n\n";
  ReadAll all = read_all(raw, Format::raw);
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{2, 7, 17, 25}));
  ASSERT_EQ(all.requests.size(), 1u);
  EXPECT_EQ(all.requests[0].line, 22u);
  EXPECT_EQ(all.requests[0].path, "/ok");

  // A line where a request line should be may be the rest of a body: nothing
  // after it is read as requests.
  all = read_all("GET /a?x=1 HTTP/1.1\n\nx=1&y=2\n\n" + smuggled, Format::raw);
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{3}));
  ASSERT_EQ(all.requests.size(), 1u);
  // Chunks that do not end where their size says, and two lengths that differ.
  all = read_all("POST /a HTTP/1.1\nTransfer-Encoding: chunked\n\n3\nabcdef\n0\n\n" + smuggled,
                 Format::raw);
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{5}));
  EXPECT_TRUE(all.requests.empty());
  all = read_all("POST /a HTTP/1.1\nTransfer-Encoding: chunked\n\n0x3\nabc\n0\n\n" + smuggled,
                 Format::raw);
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{4}));
  EXPECT_TRUE(all.requests.empty());
  all = read_all("POST /a HTTP/1.1\nContent-Length: 3\nContent-Length: 30\n\nabc" + smuggled,
                 Format::raw);
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{3}));
  EXPECT_TRUE(all.requests.empty());
}

// A stream of generated bytes that notes the most memory the process had in
// use while it was read, so a test can tell a reader that buffers from one
// that does not.
class Generated : public std::streambuf {
 public:
  Generated(std::string head, size_t fill, std::string tail)
      : head_(std::move(head)), tail_(std::move(tail)), fill_(fill) {}
  size_t peak() const { return peak_; }

 protected:
  int_type underflow() override {
    const struct mallinfo2 m = mallinfo2();
    peak_ = std::max(peak_, m.uordblks + m.hblkhd);
    if (part_ == 0) {
      part_ = 1;
      return serve(head_);
    }
    if (fill_ > 0) {
      block_.assign(std::min(fill_, size_t{1} << 16), 'a');
      fill_ -= block_.size();
      return serve(block_);
    }
    if (part_ == 1) {
      part_ = 2;
      return serve(tail_);
    }
    return traits_type::eof();
  }

 private:
  int_type serve(std::string &s) {
    if (s.empty()) return underflow();
    setg(s.data(), s.data(), s.data() + s.size());
    return traits_type::to_int_type(s[0]);
  }
  std::string head_, tail_, block_;
  size_t fill_;
  int part_ = 0;
  size_t peak_ = 0;
};

TEST(RequestParse, RefusesInputBeyondItsBoundsWithoutBufferingIt) {
  const std::string log_line =
      "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET /a?x=1 HTTP/1.1\" 200 1\n";
  // A 256 MiB log line: refused, and the reading goes on at the next line.
  {
    Generated gen(log_line + "1.2.3.4 - - [06/Dec/2026:10:00:00 +0000] \"GET /a?x=", 256u << 20,
                  " HTTP/1.1\" 200 1\n" + log_line);
    std::istream in(&gen);
    Reader reader(in, Format::combined, "h");
    Request req;
    EXPECT_EQ(reader.next(&req), 1);
    EXPECT_EQ(reader.next(&req), -1);
    EXPECT_EQ(reader.error_line(), 2u);
    EXPECT_EQ(reader.next(&req), 1);
    EXPECT_EQ(req.line, 3u);
    EXPECT_EQ(reader.next(&req), 0);
    EXPECT_LT(gen.peak(), size_t{64} << 20);
  }
  // A form body past 64 MiB: skipped unread, the next request is read.
  {
    Generated gen(
        "POST /f HTTP/1.1\nContent-Type: application/x-www-form-urlencoded\n"
        "Content-Length: " +
            std::to_string((100u << 20) + 4) + "\n\nq=1&",
        100u << 20, "GET /n?x=1 HTTP/1.1\n\n");
    std::istream in(&gen);
    Reader reader(in, Format::raw, "h");
    Request req;
    EXPECT_EQ(reader.next(&req), -1);
    EXPECT_EQ(reader.error_line(), 1u);
    EXPECT_EQ(reader.next(&req), 1);
    EXPECT_EQ(req.path, "/n");
    EXPECT_LT(gen.peak(), size_t{64} << 20);
  }
  // Arguments: as many as kArgsMax are read, one more refuses the request.
  std::string form;
  for (size_t i = 0; i < traffic::kArgsMax; i++) form += "a=1&";
  std::string raw = "GET /q?" + form + " HTTP/1.1\n\n";  // 1
  raw += "GET /q?" + form + "b=2 HTTP/1.1\n\n";          // 3
  raw +=
      "POST /f?z=1 HTTP/1.1\nContent-Type: application/x-www-form-urlencoded\n"  // 5
      "Content-Length: " +
      std::to_string(form.size()) + "\n\n" + form;
  raw += "GET /n?x=1 HTTP/1.1\n\n";  // 9
  ReadAll all = read_all(raw, Format::raw);
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{3, 5}));
  ASSERT_EQ(all.requests.size(), 2u);
  EXPECT_EQ(all.requests[0].args.size(), traffic::kArgsMax);
  EXPECT_EQ(all.requests[1].line, 9u);
  std::vector<Argument> args;
  EXPECT_FALSE(traffic::parse_arguments("a=1&b=2&c=3", &args, 2));
  EXPECT_EQ(args.size(), 2u);

  // A head line past its bound: the end of the head is lost, nothing more is read.
  all = read_all("GET /a HTTP/1.1\nX: " + std::string(traffic::kLineMax, 'x') + "\n\n" +
                     "GET /n?x=1 HTTP/1.1\n\n",
                 Format::raw);
  EXPECT_EQ(all.error_lines, (std::vector<unsigned>{1}));
  EXPECT_TRUE(all.requests.empty());
}

}  // namespace

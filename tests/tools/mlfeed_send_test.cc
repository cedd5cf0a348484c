// mlfeed --send against a real HTTP server: a small one in a thread of the
// test, on a loopback port, that keeps the bytes of every request it reads.
// What a proxy in front of a site would see must be what was recorded:
// method, raw target, Host, the other end-to-end headers and the body byte
// for byte; what belonged to the recorded connection must not be copied.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/testutil/testutil.h"

namespace {

struct Received {
  std::string method, target, body;
  std::vector<std::string> headers;  // the header lines as they came

  // The value of the first header named so (any case); "-" when none.
  std::string header(const std::string &name) const {
    for (const auto &line : headers) {
      const size_t colon = line.find(':');
      if (colon == std::string::npos || colon != name.size()) continue;
      if (!std::equal(name.begin(), name.end(), line.begin(),
                      [](char a, char b) { return tolower(a) == tolower(b); }))
        continue;
      const size_t start = line.find_first_not_of(' ', colon + 1);
      return start == std::string::npos ? "" : line.substr(start);
    }
    return "-";
  }
};

int loopback_socket(int *port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    return -1;
  *port = ntohs(a.sin_port);
  return fd;
}

// An HTTP/1.1 server with keep-alive, one connection at a time, as mlfeed
// opens them. It answers 403 to a target holding "/admin", 200 otherwise,
// each with a short body (none to HEAD, as a server does, though its length
// is announced), and reads a request's body by its Content-Length only: a
// chunked one would show as a missing body.
class RecordingServer {
 public:
  RecordingServer() {
    fd_ = loopback_socket(&port_);
    if (fd_ < 0 || listen(fd_, 8) != 0) ADD_FAILURE() << "no loopback listener";
    thread_ = std::thread([this] { serve(); });
  }
  ~RecordingServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int connections() const { return connections_; }
  std::vector<Received> received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }

 private:
  bool wait_readable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      const int n = poll(&p, 1, 20);
      if (n != 0) return n > 0;
    }
    return false;
  }
  bool read_more(int fd, std::string *buf) {
    char block[4096];
    const ssize_t got = wait_readable(fd) ? read(fd, block, sizeof block) : -1;
    if (got > 0) buf->append(block, static_cast<size_t>(got));
    return got > 0;
  }
  void serve() {
    while (!stop_) {
      if (!wait_readable(fd_)) continue;
      const int conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) continue;
      connections_++;
      serve_connection(conn);
      close(conn);
    }
  }
  void serve_connection(int conn) {
    std::string buf;
    for (;;) {
      size_t end;
      while ((end = buf.find("\r\n\r\n")) == std::string::npos)
        if (!read_more(conn, &buf)) return;
      Received r = parse_head(buf.substr(0, end));
      const std::string length = r.header("Content-Length");
      const size_t size = length == "-" ? 0 : std::stoul(length);
      while (buf.size() < end + 4 + size)
        if (!read_more(conn, &buf)) return;
      r.body = buf.substr(end + 4, size);
      buf.erase(0, end + 4 + size);
      const bool admin = r.target.find("/admin") != std::string::npos;
      std::string answer = admin ? "HTTP/1.1 403 Forbidden\r\nContent-Length: 10\r\n\r\nforbidden\n"
                                 : "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nok\n";
      if (r.method == "HEAD") answer.erase(answer.find("\r\n\r\n") + 4);
      {
        std::lock_guard<std::mutex> lock(mu_);
        received_.push_back(std::move(r));
      }
      if (write(conn, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) return;
    }
  }
  static Received parse_head(const std::string &head) {
    Received r;
    size_t start = 0;
    for (bool first = true; start <= head.size(); first = false) {
      size_t eol = head.find("\r\n", start);
      if (eol == std::string::npos) eol = head.size();
      const std::string line = head.substr(start, eol - start);
      start = eol + 2;
      if (!first) {
        r.headers.push_back(line);
        continue;
      }
      const size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
      r.method = line.substr(0, sp1);
      r.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    }
    return r;
  }

  int fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex mu_;
  std::vector<Received> received_;
  std::thread thread_;
};

class MlfeedSend : public ::testing::Test {
 protected:
  // Runs mlfeed --send on input; its exit status, output in out_ and err_,
  // how long it took in elapsed_.
  int send(const std::string &url, const std::string &input, const std::string &options = "") {
    mlt::write_file(dir_ / "in.txt", input);
    const std::string cmd = mlt::bin_dir() + "/mlfeed -q --send '" + url + "' " + options + " " +
                            dir_ / "in.txt" + " >" + dir_ / "out" + " 2>" + dir_ / "err";
    const auto start = std::chrono::steady_clock::now();
    const int rc = mlt::run(cmd);
    elapsed_ = std::chrono::steady_clock::now() - start;
    out_ = mlt::read_file(dir_ / "out");
    err_ = mlt::read_file(dir_ / "err");
    return rc;
  }

  mlt::TempDir dir_;
  std::string out_, err_;
  std::chrono::steady_clock::duration elapsed_{};
};

// The line a part of the input begins on.
unsigned line_of(const std::string &input, const std::string &part) {
  const size_t at = input.find(part);
  return static_cast<unsigned>(std::count(input.begin(), input.begin() + at, '\n')) + 1;
}

const std::string kForm = "id=12&note=a%0Ab+c&qty=3";
// Longer than 1 MiB, where libcurl would otherwise ask the server to
// confirm before the body (Expect: 100-continue).
const std::string kJson =
    "{\"name\":\"J\xc3\xbcrgen\",\r\n \"tags\":[\"a\",\"b\"],\"n\":null,\"pad\":\"" +
    std::string(1 << 20, 'x') + "\"}";

TEST_F(MlfeedSend, SendsEveryRequestAsRecordedOverOneConnection) {
  const std::string get =
      "GET /shop/./list/../search?q=red+shoes%21&page=2&dir=/a/../b HTTP/1.1\r\n"
      "Host: Shop.Example:8080\r\n"
      "User-Agent: Mozilla/5.0 (X11)\r\n"
      "Connection: keep-alive, X-Trace\r\n"
      "Keep-Alive: 300\r\n"
      "X-Trace: abc\r\n"
      "Proxy-Connection: keep-alive\r\n"
      "Proxy-Authorization: Basic dTpw\r\n"
      "TE: trailers\r\n"
      "Upgrade: h2c\r\n"
      "X-Empty:\r\n"
      "X-Folded: one\r\n"
      "  two\r\n"
      "Cookie: s=1\r\n"
      "\r\n";
  const std::string form =
      "POST /cart/add?src=list HTTP/1.1\r\nHost: shop.example\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: " +
      std::to_string(kForm.size()) + "\r\n\r\n" + kForm + "\r\n";
  const std::string json =
      "POST /api/items HTTP/1.1\r\nHost: shop.example\r\n"
      "Content-Type: application/json\r\nAccept: application/json\r\n"
      "Content-Length: " +
      std::to_string(kJson.size()) + "\r\n\r\n" + kJson + "\r\n";
  const std::string chunked =
      "PUT /upload?id=7 HTTP/1.1\r\nHost: shop.example\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\nhello\r\n7;ext=1\r\n, world\r\n0\r\nX-Trailer: t\r\n\r\n";
  const std::string admin = "GET /admin?cmd=ls%20-la HTTP/1.1\r\nHost: shop.example\r\n\r\n";
  const std::string head = "HEAD /status HTTP/1.1\r\nHost: shop.example\r\n\r\n";
  const std::string absolute = "GET http://Other.Example:81/p a?x=1 HTTP/1.1\r\n\r\n";
  const std::string input = get + form + json + chunked + admin + head + absolute;

  RecordingServer server;
  ASSERT_EQ(send(server.url(), input, "--per-request"), 0) << err_;
  EXPECT_NE(out_.find("mlfeed: 7 requests sent, by status: 200 6, 403 1; 0 failed, 0 refused\n"),
            std::string::npos)
      << out_;
  EXPECT_NE(out_.find(std::to_string(line_of(input, admin)) + " 403 GET /admin?cmd=ls%20-la\n"),
            std::string::npos)
      << out_;
  EXPECT_EQ(out_.find("1 200 GET /shop/./list/../search?q=red+shoes%21&page=2&dir=/a/../b\n"), 0u)
      << out_;
  EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 8) << out_;  // no answer's body among them
  EXPECT_EQ(server.connections(), 1);  // keep-alive: one connection for the whole replay
  const std::vector<Received> got = server.received();
  ASSERT_EQ(got.size(), 7u);

  // Raw target (no decoding, no "/../" squashed), the end-to-end headers in
  // their order, nothing of the recorded connection, nothing of libcurl's own.
  EXPECT_EQ(got[0].method, "GET");
  EXPECT_EQ(got[0].target, "/shop/./list/../search?q=red+shoes%21&page=2&dir=/a/../b");
  EXPECT_EQ(got[0].headers,
            (std::vector<std::string>{"Host: Shop.Example:8080", "User-Agent: Mozilla/5.0 (X11)",
                                      "X-Empty:", "X-Folded: one two", "Cookie: s=1"}));
  EXPECT_EQ(got[0].body, "");

  EXPECT_EQ(got[1].method, "POST");
  EXPECT_EQ(got[1].target, "/cart/add?src=list");
  EXPECT_EQ(got[1].header("Host"), "shop.example");
  EXPECT_EQ(got[1].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(got[1].body, kForm);

  EXPECT_EQ(got[2].target, "/api/items");
  EXPECT_EQ(got[2].header("Content-Type"), "application/json");
  EXPECT_EQ(got[2].header("Accept"), "application/json");
  EXPECT_EQ(got[2].header("Content-Length"), std::to_string(kJson.size()));
  EXPECT_TRUE(got[2].body == kJson) << got[2].body.size() << " bytes";  // no 1 MiB dump

  // Chunks joined and sent with their length; no type or Expect made up.
  EXPECT_EQ(got[3].method, "PUT");
  EXPECT_EQ(got[3].target, "/upload?id=7");
  EXPECT_EQ(got[3].body, "hello, world");
  EXPECT_EQ(got[3].headers, (std::vector<std::string>{"Host: shop.example", "Content-Length: 12"}));

  EXPECT_EQ(got[4].target, "/admin?cmd=ls%20-la");
  EXPECT_EQ(got[5].method, "HEAD");
  EXPECT_EQ(got[5].target, "/status");
  // An absolute target goes in origin form, its host as Host; a blank cannot
  // stand in a request line.
  EXPECT_EQ(got[6].target, "/p%20a?x=1");
  EXPECT_EQ(got[6].headers, (std::vector<std::string>{"Host: other.example"}));

  for (const auto &r : got)
    for (const char *hop : {"Connection", "Keep-Alive", "Transfer-Encoding", "TE", "Upgrade",
                            "Proxy-Connection", "Proxy-Authorization", "X-Trace", "Expect"})
      EXPECT_EQ(r.header(hop), "-") << hop << " in " << r.method << " " << r.target;
}

TEST_F(MlfeedSend, SendsLogLinesToAPrefixWithTheDefaultHostAtTheRateAsked) {
  const std::string at = "203.0.113.9 - - [06/Dec/2026:10:00:00 +0000] ";
  const std::string input = at + "\"GET /p?a=%41+b&c=\\\"q\\\" HTTP/1.1\" 200 5 \"-\" \"agent\"\n" +
                            at + "\"POST /login HTTP/1.1\" 302 0\n" + at + "\"-\" 408 0\n" + at +
                            "\"GET /admin/x?y=1 HTTP/1.1\" 403 0\n" + at +
                            "\"GET /q?i=4 HTTP/1.1\" 200 1\n" + at +
                            "\"GET /q?i=5 HTTP/1.1\" 200 1\n";
  RecordingServer server;
  ASSERT_EQ(send(server.url() + "/site/", input, "--default-host Shop.Example --rate 10"), 0)
      << err_;
  // Five starts at most 10 a second are four intervals of 100 ms apart.
  EXPECT_GE(elapsed_, std::chrono::milliseconds(400));
  EXPECT_NE(out_.find("5 requests sent, by status: 200 4, 403 1; 0 failed"), std::string::npos)
      << out_;
  const std::vector<Received> got = server.received();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].target, "/site/p?a=%41+b&c=\"q\"");  // the log's escapes undone, nothing else
  EXPECT_EQ(got[1].method, "POST");
  EXPECT_EQ(got[1].target, "/site/login");
  EXPECT_EQ(got[1].header("Content-Length"), "-");  // a log line has no body
  EXPECT_EQ(got[2].target, "/site/admin/x?y=1");
  for (const auto &r : got) EXPECT_EQ(r.headers, (std::vector<std::string>{"Host: shop.example"}));
}

TEST_F(MlfeedSend, CountsRequestsWithoutAnAnswerAndGoesOn) {
  std::string input;
  for (int i = 0; i < 7; i++)
    input += "GET /r?i=" + std::to_string(i) + " HTTP/1.1\r\nHost: h\r\n\r\n";
  int port = 0;
  const int closed = loopback_socket(&port);  // bound, never listening: connections are refused
  ASSERT_GE(closed, 0);
  EXPECT_EQ(send("http://127.0.0.1:" + std::to_string(port), input), 1);
  close(closed);
  EXPECT_NE(out_.find("7 requests sent, by status: none; 7 failed, 0 refused"), std::string::npos)
      << out_;
  // The first failures are shown with their line, the rest only counted.
  EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 5) << err_;
  EXPECT_NE(err_.find("in.txt:1: GET /r?i=0: "), std::string::npos) << err_;
  EXPECT_NE(err_.find("in.txt:13: GET /r?i=4: "), std::string::npos) << err_;

  // A server that takes the connection and never answers: the time-out ends
  // each wait, and the next request is still sent.
  const int mute = loopback_socket(&port);
  ASSERT_EQ(listen(mute, 8), 0);
  EXPECT_EQ(send("http://127.0.0.1:" + std::to_string(port), input.substr(0, input.size() / 7 * 2),
                 "--timeout 1"),
            1);
  close(mute);
  EXPECT_NE(out_.find("2 requests sent, by status: none; 2 failed"), std::string::npos) << out_;
  EXPECT_GE(elapsed_, std::chrono::milliseconds(1900));
  EXPECT_LT(elapsed_, std::chrono::seconds(9));  // not the default 10 s each
  EXPECT_NE(err_.find("in.txt:4: GET /r?i=1: "), std::string::npos) << err_;

  // Bad usage of --send is status 2; the other modes keep their 1.
  EXPECT_EQ(send("ftp://127.0.0.1/", input), 2);
  EXPECT_EQ(send("http://127.0.0.1/?a=1", input), 2);
  EXPECT_EQ(send("http://127.0.0.1/", input, "--rate fast"), 2);
  EXPECT_EQ(send("http://127.0.0.1/", input, "--judge"), 2);
  EXPECT_EQ(mlt::run(mlt::bin_dir() + "/mlfeed -d 1 --rate 5 /dev/null 2>/dev/null"), 1);
}

}  // namespace

// mlfeed --send: replays recorded requests over HTTP to a live server (a
// proxy such as nginx or HAProxy in front of a site, or the site itself), so
// that recorded traffic drives the real path a request takes.
//
// Each request goes out as it was recorded: its method, its target (path and
// raw query, never decoded, appended to the base URL's path), its header
// lines in their order, Host included, and its body (chunks joined). Only
// what belongs to the recorded connection is dropped: the hop-by-hop headers
// (Connection and the headers it names, Keep-Alive, Transfer-Encoding, TE,
// Trailer, Upgrade, Proxy-*) and Content-Length, which libcurl writes for
// the body it sends. Headers libcurl would add on its own (Accept, a form
// Content-Type, Expect) are suppressed when the recording has none, so the
// server sees the recorded head. Blanks and control bytes in a target, which
// cannot stand in a request line, go percent-encoded.
//
// One connection is kept open for all requests (keep-alive) and reopened
// when the server closes it. A request that gets no answer (connection
// refused, time-out) is reported as failed and the next one is sent.
//
// Thread safety: one thread; the sender owns its libcurl handle.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "traffic/request_parse.h"

namespace mlfeed {

struct SendSettings {
  std::string base;         // http[s]://host[:port][/prefix]
  long timeout_ms = 10000;  // per request, from connecting to the last byte of the answer
  unsigned long rate = 0;   // requests started per second at most; 0: as fast as answered
};

struct SendResult {
  long status = 0;     // the answer's status code; 0: no answer
  std::string target;  // the request target sent
  std::string error;   // why no answer came
};

// The request target sent for a recorded one: prefix (the base URL's path
// without its last '/'), then the target in origin form (an absolute target
// loses its scheme and host), blanks and control bytes as %XX.
std::string wire_target(std::string_view prefix, std::string_view target);

class HttpSender {
 public:
  explicit HttpSender(SendSettings settings);
  ~HttpSender();
  HttpSender(const HttpSender &) = delete;
  HttpSender &operator=(const HttpSender &) = delete;

  // False when the base URL is unusable or libcurl could not start; error()
  // says why.
  bool ready() const { return ready_; }
  const std::string &error() const { return error_; }

  // Sends req (read by a Reader that keeps raw requests) once the rate
  // allows, and waits for the answer or the time-out.
  SendResult send(const traffic::Request &req);

 private:
  struct EasyFree {
    void operator()(void *easy) const;
  };
  void pace();
  void set_body(const traffic::Request &req, bool has_body);

  SendSettings settings_;
  std::string prefix_;
  std::unique_ptr<void, EasyFree> easy_;
  bool global_ = false, ready_ = false;
  std::string error_;
  std::chrono::steady_clock::time_point due_{};
};

// Answers counted by status code, and requests without an answer.
struct SendTally {
  std::map<long, unsigned long> by_status;
  unsigned long failed = 0;

  void add(const SendResult &r);
  // "N requests sent, by status: 200 N1, 403 N2; F failed, R refused"
  std::string summary(unsigned long refused) const;
};

}  // namespace mlfeed

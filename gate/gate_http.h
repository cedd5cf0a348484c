// mlgate's HTTP door, served by libmicrohttpd with a pool of threads, which
// judge with a pool of as many Judges.
//
//   /auth     for nginx's auth_request: the original request comes in the
//             headers X-Original-URI (its target, $request_uri), and
//             optionally X-Original-Method and X-Original-Host (else Host,
//             which nginx keeps in the subrequest). The answer is 204 (let
//             through) or 403 (deny), with X-ML-Verdict, X-ML-Action,
//             X-ML-Mode and, when an argument gave the verdict, X-ML-Argument
//             (escaped, at most 100 bytes of it) and X-ML-Score. nginx sends
//             no body to an auth subrequest: a body sent anyway (up to 1 MiB,
//             with Content-Type or X-Original-Content-Type) is judged too,
//             while the bodies arriving at once stay within the door's budget;
//             a body beyond it is left out, and the request judged on its
//             target alone, as a body too long for a frame through HAProxy.
//   /metrics  the counters, in the Prometheus text format.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "gate/gate.h"
#include "gate/gate_judge.h"

struct MHD_Daemon;

namespace gate {

// Bytes of bodies the HTTP door holds at once, over all its connections.
constexpr size_t kBodiesMax = 64 << 20;

class HttpDoor {
 public:
  explicit HttpDoor(Gate *gate, size_t body_budget = kBodiesMax)
      : gate_(gate), body_budget_(body_budget) {}
  ~HttpDoor() { stop(); }
  HttpDoor(const HttpDoor &) = delete;
  HttpDoor &operator=(const HttpDoor &) = delete;

  // Listens on address (gate_net.h) with threads threads. False with *err.
  bool start(const std::string &address, unsigned threads, std::string *err);
  void stop();

  Gate *gate() const { return gate_; }
  JudgePool *judges() const { return judges_.get(); }
  // Takes n bytes of the body budget; false when they do not fit.
  bool take_body(size_t n);
  void give_body(size_t n) { body_bytes_.fetch_sub(n); }
  size_t body_bytes() const { return body_bytes_.load(); }

 private:
  Gate *gate_;
  std::unique_ptr<JudgePool> judges_;
  const size_t body_budget_;
  std::atomic<size_t> body_bytes_{0};
  MHD_Daemon *daemon_ = nullptr;
};

}  // namespace gate

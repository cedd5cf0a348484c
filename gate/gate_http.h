// mlgate's HTTP door, served by libmicrohttpd with a pool of threads, each
// judging with a Judge of its own.
//
//   /auth     for nginx's auth_request: the original request comes in the
//             headers X-Original-URI (its target, $request_uri), and
//             optionally X-Original-Method and X-Original-Host (else Host,
//             which nginx keeps in the subrequest). The answer is 204 (let
//             through) or 403 (deny), with X-ML-Verdict, X-ML-Action,
//             X-ML-Mode and, when an argument gave the verdict, X-ML-Argument
//             (escaped, at most 100 bytes of it) and X-ML-Score. nginx sends
//             no body to an auth subrequest: a body sent anyway (up to 1 MiB,
//             with Content-Type or X-Original-Content-Type) is judged too.
//   /metrics  the counters, in the Prometheus text format.
#pragma once

#include <string>

#include "gate/gate.h"

struct MHD_Daemon;

namespace gate {

class HttpDoor {
 public:
  explicit HttpDoor(Gate *gate) : gate_(gate) {}
  ~HttpDoor() { stop(); }
  HttpDoor(const HttpDoor &) = delete;
  HttpDoor &operator=(const HttpDoor &) = delete;

  // Listens on address (gate_net.h) with threads threads. False with *err.
  bool start(const std::string &address, unsigned threads, std::string *err);
  void stop();

  Gate *gate() const { return gate_; }

 private:
  Gate *gate_;
  MHD_Daemon *daemon_ = nullptr;
};

}  // namespace gate

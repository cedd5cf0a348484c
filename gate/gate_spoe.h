// mlgate's agent for HAProxy's stream offload engine (SPOE): HAProxy opens
// connections, says hello, and sends a NOTIFY frame per request with a
// message whose arguments are named
//   method, target (the request target, HAProxy's "url"), host,
//   ctype (Content-Type) and body (with option http-buffer-request),
// any of which may be left out. The ACK sets the transaction variables
// verdict, action and mode, and argument and score when an argument gave
// the verdict; HAProxy's rules act on action ("block" denies). The agent
// announces pipelining and answers frames in order; it supports neither
// fragmentation nor async, so a body longer than a frame is not sent whole
// by HAProxy and is not judged.
//
// One thread per connection (at most kSpoeConnections); a request borrows a
// Judge from a pool of `judges`, which bounds the verdict caches whatever the
// number of connections.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "gate/gate.h"
#include "gate/gate_judge.h"

namespace gate {

constexpr unsigned kSpoeConnections = 256;

class SpoeDoor {
 public:
  explicit SpoeDoor(Gate *gate) : gate_(gate) {}
  ~SpoeDoor() { stop(); }
  SpoeDoor(const SpoeDoor &) = delete;
  SpoeDoor &operator=(const SpoeDoor &) = delete;

  bool start(const std::string &address, unsigned judges, std::string *err);
  void stop();

 private:
  void accept_loop();
  void serve(int fd);

  Gate *gate_;
  std::unique_ptr<JudgePool> judges_;
  int listen_fd_ = -1;
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  std::mutex mu_;
  std::set<int> open_;  // connections being served; guarded by mu_
  std::atomic<unsigned> threads_{0};
};

}  // namespace gate

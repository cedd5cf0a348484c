#include "gate/gate_spoe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "gate/gate_judge.h"
#include "gate/gate_net.h"
#include "gate/spop.h"

namespace gate {

namespace {

// Status codes of a disconnection.
constexpr uint32_t kStatusNormal = 0;
constexpr uint32_t kStatusTooBig = 3;
constexpr uint32_t kStatusInvalid = 4;
constexpr uint32_t kStatusVersion = 8;
constexpr uint32_t kStatusNoFragments = 10;

bool send_frame(int fd, const std::string &frame) {
  return write_full(fd, frame.data(), frame.size());
}

std::string_view text_of(const spop::Message &m, std::string_view name) {
  for (const spop::Arg &a : m.args)
    if (a.name == name && (a.value.type == spop::kString || a.value.type == spop::kBinary))
      return a.value.bytes;
  return {};
}

std::string ack_for(const spop::Frame &f, const Decision &d) {
  spop::Ack ack(f.stream_id, f.frame_id);
  ack.set_string(spop::kTransaction, "verdict", gate_verdict_name(d.verdict));
  ack.set_string(spop::kTransaction, "action", mlv_action_name(d.action));
  ack.set_string(spop::kTransaction, "mode", mode_name(d.mode));
  if (!d.argument.empty())
    ack.set_string(spop::kTransaction, "argument", traffic::printable(d.argument, kArgumentShown));
  if (d.has_score) {
    char score[32];
    snprintf(score, sizeof score, "%.3f", d.score);
    ack.set_string(spop::kTransaction, "score", score);
  }
  return ack.finish();
}

// The agent's answer to HAProxy's hello; false when the connection ends
// (a health check, or a hello the agent cannot accept).
bool hello(int fd, const spop::Frame &f, uint32_t *max_frame) {
  std::vector<spop::Arg> kv;
  if (!spop::parse_kv_list(f.payload, &kv))
    return send_frame(fd, spop::agent_disconnect(kStatusInvalid, "malformed hello")), false;
  const spop::Value *versions = spop::find(kv, "supported-versions");
  if (!versions || versions->bytes.find("2.0") == std::string_view::npos)
    return send_frame(fd, spop::agent_disconnect(kStatusVersion, "version 2.0 only")), false;
  if (const spop::Value *size = spop::find(kv, "max-frame-size"))
    *max_frame = static_cast<uint32_t>(
        std::clamp<uint64_t>(size->number, spop::kMinFrameSize, spop::kMaxFrameSize));
  if (!send_frame(fd, spop::agent_hello(*max_frame, "pipelining"))) return false;
  const spop::Value *check = spop::find(kv, "healthcheck");
  return !(check && check->number);
}

bool notify(int fd, const spop::Frame &f, JudgePool *judges) {
  std::vector<spop::Message> msgs;
  if (!spop::parse_messages(f.payload, &msgs))
    return send_frame(fd, spop::agent_disconnect(kStatusInvalid, "malformed notify")), false;
  Decision d;
  for (const spop::Message &m : msgs) {
    Incoming in;
    in.method = text_of(m, "method");
    in.target = text_of(m, "target");
    in.host = text_of(m, "host");
    in.content_type = text_of(m, "ctype");
    in.body = text_of(m, "body");
    if (in.target.empty()) continue;
    if (in.method.empty()) in.method = "GET";
    d = judges->borrow()->decide(in);
    break;
  }
  return send_frame(fd, ack_for(f, d));
}

}  // namespace

bool SpoeDoor::start(const std::string &address, unsigned judges, std::string *err) {
  judges_ = std::make_unique<JudgePool>(gate_, judges);
  listen_fd_ = listen_on(address, err);
  if (listen_fd_ < 0) return false;
  acceptor_ = std::thread(&SpoeDoor::accept_loop, this);
  return true;
}

void SpoeDoor::stop() {
  if (stopping_.exchange(true)) return;
  if (listen_fd_ >= 0) shutdown(listen_fd_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : open_) shutdown(fd, SHUT_RDWR);
  }
  while (threads_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void SpoeDoor::accept_loop() {
  while (!stopping_.load()) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (stopping_.load()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // EMFILE and the like
      continue;
    }
    // An ACK is one small write that HAProxy waits for: Nagle's algorithm
    // would hold it for HAProxy's delayed ACK (40 ms at p99). Refused on a
    // unix socket, where there is nothing to delay.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mu_);
    if (open_.size() >= kSpoeConnections || stopping_.load()) {
      ::close(fd);
      continue;
    }
    open_.insert(fd);
    threads_.fetch_add(1);
    std::thread(&SpoeDoor::serve, this, fd).detach();
  }
}

void SpoeDoor::serve(int fd) {
  uint32_t max_frame = spop::kMaxFrameSize;
  std::string buf;
  for (bool open = true; open;) {
    uint32_t len = 0;
    if (!read_full(fd, &len, sizeof len)) break;
    len = ntohl(len);
    if (len > max_frame) {
      send_frame(fd, spop::agent_disconnect(kStatusTooBig, "frame too big"));
      break;
    }
    buf.resize(len);
    spop::Frame f;
    if (!read_full(fd, buf.data(), len)) break;
    if (!spop::parse_frame(buf, &f)) {
      send_frame(fd, spop::agent_disconnect(kStatusInvalid, "malformed frame"));
      break;
    }
    if (f.type == spop::kHaproxyHello) {
      open = hello(fd, f, &max_frame);
    } else if (f.type == spop::kNotify && !(f.flags & spop::kFlagFin)) {
      send_frame(fd, spop::agent_disconnect(kStatusNoFragments, "fragmentation unsupported"));
      open = false;
    } else if (f.type == spop::kNotify) {
      open = notify(fd, f, judges_.get());
    } else {  // HAPROXY-DISCONNECT, or a frame an agent never receives
      send_frame(fd, spop::agent_disconnect(kStatusNormal, "bye"));
      open = false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    open_.erase(fd);
  }
  ::close(fd);
  threads_.fetch_sub(1);
}

}  // namespace gate

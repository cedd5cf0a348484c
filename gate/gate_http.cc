#include "gate/gate_http.h"

#include <microhttpd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "gate/gate_judge.h"
#include "gate/gate_net.h"

namespace gate {

namespace {

constexpr size_t kConnectionMemory = 64 << 10;  // a request's head: proxies send 8 to 16 KiB
constexpr unsigned kConnections = 4096;
constexpr unsigned kIdleSeconds = 60;

// A request whose body is still arriving.
struct Upload {
  std::string body;
  bool cut = false;
};

std::string_view header(MHD_Connection *c, const char *name) {
  const char *v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
  return v ? std::string_view(v) : std::string_view();
}

std::string_view first_of(MHD_Connection *c, const char *name, const char *fallback) {
  std::string_view v = header(c, name);
  return v.empty() ? header(c, fallback) : v;
}

MHD_Result answer(MHD_Connection *c, unsigned status, const std::string &text,
                  const char *type = "text/plain; charset=utf-8") {
  MHD_Response *r = MHD_create_response_from_buffer(text.size(), const_cast<char *>(text.data()),
                                                    MHD_RESPMEM_MUST_COPY);
  if (!r) return MHD_NO;
  if (!text.empty()) MHD_add_response_header(r, "Content-Type", type);
  const MHD_Result rc = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return rc;
}

MHD_Result answer_auth(MHD_Connection *c, JudgePool *judges, const Upload *up) {
  Incoming in;
  in.target = header(c, "X-Original-URI");
  if (in.target.empty()) return answer(c, MHD_HTTP_BAD_REQUEST, "X-Original-URI is missing\n");
  in.method = header(c, "X-Original-Method");
  if (in.method.empty()) in.method = "GET";
  in.host = first_of(c, "X-Original-Host", "Host");
  in.content_type = first_of(c, "X-Original-Content-Type", "Content-Type");
  if (up) {
    in.body = up->body;
    in.body_cut = up->cut;
  }
  const Decision d = judges->borrow()->decide(in);
  MHD_Response *r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
  if (!r) return MHD_NO;
  MHD_add_response_header(r, "X-ML-Verdict", gate_verdict_name(d.verdict));
  MHD_add_response_header(r, "X-ML-Action", mlv_action_name(d.action));
  MHD_add_response_header(r, "X-ML-Mode", mode_name(d.mode));
  if (!d.argument.empty())
    MHD_add_response_header(r, "X-ML-Argument",
                            traffic::printable(d.argument, kArgumentShown).c_str());
  if (d.has_score) {
    char score[32];
    snprintf(score, sizeof score, "%.3f", d.score);
    MHD_add_response_header(r, "X-ML-Score", score);
  }
  const unsigned status = d.action == MLV_BLOCK ? MHD_HTTP_FORBIDDEN : MHD_HTTP_NO_CONTENT;
  const MHD_Result rc = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return rc;
}

bool has_body(MHD_Connection *c) {
  const std::string_view length = header(c, "Content-Length");
  return (!length.empty() && length != "0") || !header(c, "Transfer-Encoding").empty();
}

// The state of a request without a body. A response queued at the first
// call, before MHD has the whole request, closes the connection; proxies keep
// theirs open, so every request answers from the second call.
char no_body;

MHD_Result handle(void *cls, MHD_Connection *c, const char *url, const char *, const char *,
                  const char *data, size_t *size, void **state) {
  auto *door = static_cast<HttpDoor *>(cls);
  if (!*state) {
    *state = has_body(c) ? static_cast<void *>(std::make_unique<Upload>().release()) : &no_body;
    return MHD_YES;
  }
  Upload *up = *state == &no_body ? nullptr : static_cast<Upload *>(*state);
  if (up && *size) {
    // Once cut, a body stays cut: later parts appended would leave a hole.
    if (up->cut || up->body.size() + *size > kGateBodyMax || !door->take_body(*size))
      up->cut = true;
    else
      up->body.append(data, *size);
    *size = 0;
    return MHD_YES;
  }
  if (strcmp(url, "/auth") == 0) return answer_auth(c, door->judges(), up);
  if (strcmp(url, "/metrics") == 0)
    return answer(c, MHD_HTTP_OK, metrics_text(door->gate()->metrics()),
                  "text/plain; version=0.0.4");
  return answer(c, MHD_HTTP_NOT_FOUND, "mlgate serves /auth and /metrics\n");
}

void completed(void *cls, MHD_Connection *, void **state, MHD_RequestTerminationCode) {
  if (*state && *state != &no_body) {
    std::unique_ptr<Upload> up(static_cast<Upload *>(*state));
    static_cast<HttpDoor *>(cls)->give_body(up->body.size());
  }
  *state = nullptr;
}

}  // namespace

bool HttpDoor::start(const std::string &address, unsigned threads, std::string *err) {
  const int fd = listen_on(address, err);
  if (fd < 0) return false;
  // As many Judges as threads: a thread never waits for one, and each goes
  // back warm for the next request.
  judges_ = std::make_unique<JudgePool>(gate_, threads);
  daemon_ = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_TURBO, 0, nullptr, nullptr, &handle,
      this, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_THREAD_POOL_SIZE,
      static_cast<unsigned>(threads), MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      MHD_OPTION_CONNECTION_LIMIT, kConnections, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
      MHD_OPTION_NOTIFY_COMPLETED, &completed, this, MHD_OPTION_END);
  if (!daemon_) {
    *err = address + ": the HTTP server did not start";
    ::close(fd);
    return false;
  }
  return true;
}

bool HttpDoor::take_body(size_t n) {
  if (body_bytes_.fetch_add(n) + n <= body_budget_) return true;
  body_bytes_.fetch_sub(n);
  return false;
}

void HttpDoor::stop() {
  if (daemon_) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

}  // namespace gate

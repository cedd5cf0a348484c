#include "tools/mlfeed/send_http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <thread>
#include <vector>

namespace mlfeed {

namespace {

struct SlistFree {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;
using traffic::lower;
using traffic::trim;

struct UrlFree {
  void operator()(CURLU *url) const { curl_url_cleanup(url); }
};

struct TextFree {
  void operator()(char *text) const { curl_free(text); }
};
using CurlText = std::unique_ptr<char, TextFree>;

// The answer's body is of no use to a replay; reading it keeps the connection
// fit for the next request.
size_t discard(char *, size_t size, size_t count, void *) { return size * count; }

// Header names the recorded Connection headers declare hop-by-hop, lower case.
std::vector<std::string> connection_options(const traffic::Request &req) {
  std::vector<std::string> out;
  for (const auto &h : req.headers) {
    if (lower(h.name) != "connection") continue;
    std::string_view v = h.value;
    while (!v.empty()) {
      const size_t comma = v.find(',');
      out.push_back(lower(trim(v.substr(0, comma))));
      v = comma == std::string_view::npos ? std::string_view() : v.substr(comma + 1);
    }
  }
  return out;
}

// name (lower case) belongs to the recorded connection, not to the request.
bool hop_by_hop(const std::string &name, const std::vector<std::string> &named) {
  static const char *const kHop[] = {"connection", "keep-alive", "transfer-encoding", "te",
                                     "trailer",    "upgrade",    "content-length"};
  return std::any_of(std::begin(kHop), std::end(kHop), [&](const char *h) { return name == h; }) ||
         name.starts_with("proxy-") || std::find(named.begin(), named.end(), name) != named.end();
}

// The recorded request had a body (possibly empty): its head said how long.
bool has_body(const traffic::Request &req) {
  return std::any_of(req.headers.begin(), req.headers.end(), [](const traffic::Header &h) {
    const std::string name = lower(h.name);
    return name == "content-length" || name == "transfer-encoding";
  });
}

// The header lines handed to libcurl. A recorded header with an empty value
// is written "Name;" (libcurl's way of sending it empty); "Name:" with
// nothing after it removes a header libcurl would add itself.
Slist header_list(const traffic::Request &req, bool body) {
  const std::vector<std::string> named = connection_options(req);
  std::vector<std::string> lines;
  bool host = false, accept = false, type = false, expect = false;
  for (const auto &h : req.headers) {
    const std::string name = lower(h.name);
    if (hop_by_hop(name, named)) continue;
    host = host || name == "host";
    accept = accept || name == "accept";
    type = type || name == "content-type";
    expect = expect || name == "expect";
    lines.push_back(h.value.empty() ? h.name + ";" : h.name + ": " + h.value);
  }
  if (!host && !req.host.empty()) lines.push_back("Host: " + req.host);  // log lines, HTTP/1.0
  if (!accept) lines.push_back("Accept:");
  if (body && !type) lines.push_back("Content-Type:");
  if (!expect) lines.push_back("Expect:");
  Slist list;
  for (const auto &line : lines) {
    curl_slist *head = curl_slist_append(list.get(), line.c_str());
    if (!head) break;             // out of memory: the request goes with fewer headers
    if (!list) list.reset(head);  // once there is a head, appending keeps it
  }
  return list;
}

// One part of a parsed URL; *rc says whether it is there.
std::string url_part(CURLU *url, CURLUPart which, CURLUcode *rc) {
  char *raw = nullptr;
  *rc = curl_url_get(url, which, &raw, 0);
  const CurlText text(raw);
  return *rc == CURLUE_OK && text ? text.get() : "";
}

// The path of base without its trailing '/', or false with *err.
bool base_prefix(const std::string &base, std::string *prefix, std::string *err) {
  std::unique_ptr<CURLU, UrlFree> url(curl_url());
  CURLUcode rc = CURLUE_OUT_OF_MEMORY;
  if (url) rc = curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0);
  const std::string scheme = rc == CURLUE_OK ? url_part(url.get(), CURLUPART_SCHEME, &rc) : "";
  if (scheme != "http" && scheme != "https") {
    *err = "--send takes a URL such as http://127.0.0.1:8080, not " + base;
    return false;
  }
  url_part(url.get(), CURLUPART_QUERY, &rc);
  if (rc != CURLUE_NO_QUERY) {
    *err = "the --send URL takes no query: every request brings its own";
    return false;
  }
  *prefix = url_part(url.get(), CURLUPART_PATH, &rc);
  while (!prefix->empty() && prefix->back() == '/') prefix->pop_back();
  return true;
}

}  // namespace

std::string wire_target(std::string_view prefix, std::string_view target) {
  const std::string scheme = lower(target.substr(0, 8));
  if (scheme.starts_with("http://") || scheme.starts_with("https://")) {
    target.remove_prefix(scheme.starts_with("http://") ? 7 : 8);
    const size_t end = target.find_first_of("/?");
    target = end == std::string_view::npos ? std::string_view() : target.substr(end);
  }
  if (target == "*") return prefix.empty() ? "*" : std::string(prefix) + "/";
  std::string out(prefix);
  if (target.empty() || target[0] != '/') out += '/';
  for (const char c : target) {
    const auto u = static_cast<unsigned char>(c);
    if (u > ' ' && u != 0x7f) {
      out += c;
      continue;
    }
    char hex[4];
    snprintf(hex, sizeof hex, "%%%02X", u);
    out += hex;
  }
  return out;
}

void HttpSender::EasyFree::operator()(void *easy) const { curl_easy_cleanup(easy); }

HttpSender::HttpSender(SendSettings settings) : settings_(std::move(settings)) {
  global_ = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (global_) easy_.reset(curl_easy_init());
  if (!easy_) {
    error_ = "libcurl could not start";
    return;
  }
  ready_ = base_prefix(settings_.base, &prefix_, &error_);
}

HttpSender::~HttpSender() {
  easy_.reset();
  if (global_) curl_global_cleanup();
}

// Starts are at least 1/rate apart. A request that waited for a slow answer
// does not earn a burst after it: the next start is counted from now.
void HttpSender::pace() {
  if (!settings_.rate) return;
  const auto now = std::chrono::steady_clock::now();
  const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / static_cast<double>(settings_.rate)));
  due_ = std::max(due_ + interval, now);
  std::this_thread::sleep_until(due_);
}

void HttpSender::set_body(const traffic::Request &req, bool body) {
  CURL *c = easy_.get();
  if (req.method == "HEAD") {
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);  // or libcurl would wait for a body
  } else if (body) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(req.body.size()));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, req.body.data());
    if (req.method != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, req.method.c_str());
  } else if (req.method != "GET") {
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, req.method.c_str());
  }
}

SendResult HttpSender::send(const traffic::Request &req) {
  SendResult r;
  r.target = wire_target(prefix_, req.target);
  if (!ready_) {
    r.error = error_;
    return r;
  }
  pace();
  CURL *c = easy_.get();
  curl_easy_reset(c);  // options only: the open connection stays for the next request
  const bool body = has_body(req);
  const Slist headers = header_list(req, body);
  char why[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(c, CURLOPT_URL, settings_.base.c_str());
  curl_easy_setopt(c, CURLOPT_REQUEST_TARGET, r.target.c_str());
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  // The URL names the server to send to; a proxy from the environment would
  // put something else in between.
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, settings_.timeout_ms);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, why);
  set_body(req, body);
  const CURLcode rc = curl_easy_perform(c);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
  if (rc != CURLE_OK) {
    r.error = why[0] ? why : curl_easy_strerror(rc);
    return r;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
  if (r.status == 0) r.error = "no status in the answer";
  return r;
}

void SendTally::add(const SendResult &r) {
  if (r.status)
    by_status[r.status]++;
  else
    failed++;
}

std::string SendTally::summary(unsigned long refused) const {
  unsigned long sent = failed;
  std::string statuses;
  for (const auto &[status, count] : by_status) {
    sent += count;
    statuses +=
        (statuses.empty() ? "" : ", ") + std::to_string(status) + " " + std::to_string(count);
  }
  return std::to_string(sent) +
         " requests sent, by status: " + (statuses.empty() ? "none" : statuses) + "; " +
         std::to_string(failed) + " failed, " + std::to_string(refused) + " refused";
}

}  // namespace mlfeed

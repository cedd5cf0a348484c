// What every request from mlfeed's reader must be, whatever the bytes it was
// read from; shared by the raw and the log target. A broken promise aborts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "traffic/request_parse.h"

namespace fuzzcheck {

// A stream buffer that hands the input out one byte per refill, so that the
// reader's block and line reads meet a buffer boundary at every byte.
class Trickle : public std::streambuf {
 public:
  explicit Trickle(const std::string &s) : s_(s) {}

 protected:
  int_type underflow() override {
    if (pos_ >= s_.size()) return traits_type::eof();
    char *p = const_cast<char *>(s_.data()) + pos_;
    setg(p, p, p + 1);
    pos_++;
    return traits_type::to_int_type(*p);
  }

 private:
  const std::string &s_;
  size_t pos_ = 0;
};

struct Outcome {
  std::vector<traffic::Request> requests;
  std::vector<std::pair<unsigned, std::string>> errors;
  uint64_t bytes = 0;
};

// Bounds small enough for the fuzzer to pass, from two bytes of the input.
inline traffic::Limits limits_from(uint8_t a, uint8_t b) {
  traffic::Limits l;
  l.line = 4 + (a & 63);
  l.head = 8 + (a >> 6) * 48 + (b & 15);
  l.body = (b >> 4) * 5;
  l.args = 1 + (b & 7);
  return l;
}

inline void check_request(const traffic::Request &r, unsigned lines, const traffic::Limits &l,
                          bool keep_raw) {
  if (r.line < 1 || r.line > lines) abort();
  // Kept only when asked, and then within the body bound.
  if (!keep_raw && (!r.target.empty() || !r.headers.empty() || !r.body.empty())) abort();
  if (static_cast<long long>(r.body.size()) > l.body) abort();
  if (!traffic::valid_host(r.host)) abort();
  if (r.host != traffic::normal_host(r.host)) abort();  // normalised: lower case, no port
  if (r.path.empty() || (r.path[0] != '/' && r.path != "*")) abort();
  if (r.args.size() > l.args) abort();
  for (const auto &a : r.args)
    if (a.name.empty()) abort();
}

// Reads every request of text; checks each one and the order of lines.
// keep_raw: the reader keeps the recorded requests too.
inline Outcome read_all(const std::string &text, traffic::Format format, bool trickle,
                        const traffic::Limits &limits, bool keep_raw = false) {
  const unsigned lines =
      static_cast<unsigned>(std::count(text.begin(), text.end(), '\n')) + 1;  // the last unended
  std::istringstream whole(text);
  Trickle drip(text);
  std::istream in(trickle ? static_cast<std::streambuf *>(&drip) : whole.rdbuf());
  traffic::Reader reader(in, format, "default.example", limits);
  reader.keep_raw(keep_raw);
  Outcome out;
  traffic::Request req;
  unsigned last = 0;
  for (size_t calls = 0;; calls++) {
    if (calls > text.size() + 1) abort();  // each answer consumes at least a byte
    const int rc = reader.next(&req);
    if (rc == 0) break;
    if (rc == 1) {
      check_request(req, lines, limits, keep_raw);
      if (req.line <= last && last) abort();  // every request begins after the one before
      last = req.line;
      out.requests.push_back(req);
    } else if (rc == -1) {
      if (reader.error().empty() || reader.error_line() < 1 || reader.error_line() > lines) abort();
      out.errors.emplace_back(reader.error_line(), reader.error());
    } else {
      abort();
    }
  }
  if (reader.next(&req) != 0) abort();  // the end stays the end
  out.bytes = reader.bytes_read();
  if (out.bytes > text.size()) abort();
  return out;
}

inline bool same(const Outcome &a, const Outcome &b) {
  if (a.errors != b.errors || a.requests.size() != b.requests.size() || a.bytes != b.bytes)
    return false;
  for (size_t i = 0; i < a.requests.size(); i++) {
    const auto &x = a.requests[i], &y = b.requests[i];
    if (x.line != y.line || x.method != y.method || x.host != y.host || x.path != y.path ||
        x.args.size() != y.args.size())
      return false;
    for (size_t j = 0; j < x.args.size(); j++)
      if (x.args[j].name != y.args[j].name || x.args[j].value != y.args[j].value) return false;
  }
  return true;
}

}  // namespace fuzzcheck

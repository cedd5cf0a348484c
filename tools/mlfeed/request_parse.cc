#include "tools/mlfeed/request_parse.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace mlfeed {

namespace {

constexpr long long kBodyMax = 64ll << 20;  // a larger stated body is refused
constexpr int kSkip = 2;                    // next_combined: a line without a request

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool is_blank(const std::string &line) { return trim(line).empty(); }

bool is_method(std::string_view m) {
  if (m.empty() || m.size() > 32) return false;
  return std::all_of(m.begin(), m.end(), [](char c) { return (c >= 'A' && c <= 'Z') || c == '-'; });
}

// A host fit to be part of a URL key: printable, no blank.
bool valid_host(std::string_view h) {
  return std::all_of(h.begin(), h.end(), [](char c) {
    return static_cast<unsigned char>(c) > ' ' && static_cast<unsigned char>(c) < 0x7f;
  });
}

// Splits "METHOD TARGET [HTTP/x.y]"; the target may hold blanks when the
// protocol is present (sloppy recorders write them unescaped).
bool split_request(std::string_view req, std::string *method, std::string *target) {
  size_t sp = req.find(' ');
  if (sp == std::string_view::npos) return false;
  *method = std::string(req.substr(0, sp));
  std::string_view rest = trim(req.substr(sp + 1));
  size_t last = rest.rfind(' ');
  if (last != std::string_view::npos && rest.substr(last + 1).starts_with("HTTP/"))
    rest = trim(rest.substr(0, last));
  *target = std::string(rest);
  return is_method(*method) && !target->empty();
}

// Undoes the escapes a web server writes into a log's request field.
std::string log_unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
    } else if (s[i + 1] == 'x' && i + 3 < s.size() && hex_digit(s[i + 2]) >= 0 &&
               hex_digit(s[i + 3]) >= 0) {
      out += static_cast<char>(hex_digit(s[i + 2]) * 16 + hex_digit(s[i + 3]));
      i += 3;
    } else {
      out += s[++i];  // \" and \\ stand for the character itself
    }
  }
  return out;
}

// The request field of a log line: from the opening quote after the time to
// the next unescaped quote. False when the line has no such field or no
// status after it.
bool log_request_field(std::string_view line, std::string_view *field) {
  size_t open = line.find(" [");
  if (open == 0 || open == std::string_view::npos) return false;
  size_t close = line.find("] \"", open);
  if (close == std::string_view::npos) return false;
  size_t start = close + 3, end = start;
  while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
  if (end >= line.size()) return false;
  *field = line.substr(start, end - start);
  std::string_view tail = line.substr(end + 1);
  return tail.size() >= 4 && tail[0] == ' ' && std::isdigit(static_cast<unsigned char>(tail[1])) &&
         std::isdigit(static_cast<unsigned char>(tail[2])) &&
         std::isdigit(static_cast<unsigned char>(tail[3]));
}

bool parse_length(std::string_view text, long long *out) {
  if (text.empty() || text.size() > 12) return false;
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

bool is_form(std::string_view content_type) {
  size_t semi = content_type.find(';');
  return lower(trim(content_type.substr(0, semi))) == "application/x-www-form-urlencoded";
}

}  // namespace

std::string url_decode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == '+' && plus_is_space) {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
               hex_digit(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

void parse_arguments(std::string_view text, std::vector<Argument> *out) {
  while (!text.empty()) {
    size_t amp = text.find('&');
    std::string_view part = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    size_t eq = part.find('=');
    std::string name = url_decode(part.substr(0, eq), true);
    if (name.empty()) continue;
    std::string value = eq == std::string_view::npos ? "" : url_decode(part.substr(eq + 1), true);
    out->push_back({std::move(name), std::move(value)});
  }
}

std::string normal_host(std::string_view host) {
  size_t colon = host.rfind(':');
  size_t bracket = host.rfind(']');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket) &&
      host.find(':') == colon)
    host = host.substr(0, colon);
  else if (bracket != std::string_view::npos && colon == bracket + 1)
    host = host.substr(0, colon);
  return lower(host);
}

bool split_target(std::string_view target, std::string *host, std::string *path,
                  std::string *query) {
  target = target.substr(0, target.find('#'));
  host->clear();
  std::string scheme = lower(target.substr(0, 8));
  if (scheme.starts_with("http://") || scheme.starts_with("https://")) {
    target.remove_prefix(scheme.starts_with("http://") ? 7 : 8);
    size_t end = target.find_first_of("/?");
    *host = normal_host(target.substr(0, end));
    target = end == std::string_view::npos ? std::string_view() : target.substr(end);
    if (host->empty()) return false;
    if (target.empty() || target[0] == '?') {
      path->assign(1, '/');
      *query = target.empty() ? "" : std::string(target.substr(1));
      return true;
    }
  }
  if (target.empty() || (target[0] != '/' && target != "*")) return false;
  size_t q = target.find('?');
  *path = url_decode(target.substr(0, q), false);
  *query = q == std::string_view::npos ? "" : std::string(target.substr(q + 1));
  return true;
}

bool is_request_line(std::string_view line) {
  std::string method, target;
  size_t last = line.rfind(' ');
  return last != std::string_view::npos && line.substr(last + 1).starts_with("HTTP/") &&
         split_request(line, &method, &target);
}

Reader::Reader(std::istream &in, Format format, std::string default_host)
    : in_(in), format_(format), default_host_(normal_host(default_host)) {}

bool Reader::getline(std::string *line) {
  if (!std::getline(in_, *line)) return false;
  bytes_ += line->size() + (in_.eof() ? 0 : 1);
  line_++;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

int Reader::fail(unsigned line, const std::string &what) {
  error_ = what;
  error_line_ = line;
  return -1;
}

bool Reader::skip_to_blank() {
  std::string line;
  while (getline(&line))
    if (is_blank(line)) return true;
  return false;
}

int Reader::next(Request *out) {
  for (;;) {
    if (resync_) {
      resync_ = false;
      if (!skip_to_blank()) return 0;
    }
    std::string line;
    do {
      if (!getline(&line)) return 0;
    } while (is_blank(line));
    if (format_ == Format::automatic)
      format_ = is_request_line(line) ? Format::raw : Format::combined;
    int rc = format_ == Format::raw ? next_raw(line, out) : next_combined(line, out);
    if (rc != kSkip) return rc;
  }
}

int Reader::next_combined(const std::string &line, Request *out) {
  *out = Request{};
  out->line = line_;
  std::string_view field;
  if (!log_request_field(line, &field))
    return fail(line_, "not a combined log line (host ident user [time] \"request\" status ...)");
  if (field == "-" || field.empty()) return kSkip;  // the server received no request
  std::string target, query;
  if (!split_request(log_unescape(field), &out->method, &target))
    return fail(line_, "the request field is not \"METHOD TARGET [PROTOCOL]\"");
  if (!split_target(target, &out->host, &out->path, &query))
    return fail(line_, "the request target is neither /path nor http://host/path");
  if (out->host.empty()) out->host = default_host_;
  parse_arguments(query, &out->args);
  return 1;
}

int Reader::next_raw(const std::string &first, Request *out) {
  *out = Request{};
  out->line = line_;
  const unsigned start = line_;
  std::string target, query, type;
  if (!is_request_line(first) || !split_request(first, &out->method, &target)) {
    resync_ = true;
    return fail(start, "not an HTTP request line (METHOD TARGET HTTP/x.y)");
  }
  if (!split_target(target, &out->host, &out->path, &query)) {
    resync_ = true;
    return fail(start, "the request target is neither /path nor http://host/path");
  }
  long long length = 0;
  bool chunked = false;
  if (read_headers(out, &type, &length, &chunked) < 0) return -1;
  std::string body;
  int rc = chunked ? read_chunked(start, &body) : read_body(start, length, &body);
  if (rc < 0) return rc;
  parse_arguments(query, &out->args);
  if (is_form(type)) parse_arguments(body, &out->args);
  return 1;
}

// Reads header lines up to the blank line (or the end of input); keeps Host
// unless the target named one, and what the body needs.
int Reader::read_headers(Request *out, std::string *type, long long *length, bool *chunked) {
  const unsigned start = out->line;
  std::string line, host;
  bool have_host = !out->host.empty();
  while (getline(&line) && !is_blank(line)) {
    if (line[0] == ' ' || line[0] == '\t') continue;  // folded continuation of a header we skip
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
      resync_ = true;
      return fail(line_, "header line without a name and ':' in the request of line " +
                             std::to_string(start));
    }
    std::string name = lower(trim(std::string_view(line).substr(0, colon)));
    std::string_view value = trim(std::string_view(line).substr(colon + 1));
    if (name == "host" && !have_host) {
      host = normal_host(value);
    } else if (name == "content-type") {
      *type = value;
    } else if (name == "transfer-encoding") {
      *chunked = lower(value).find("chunked") != std::string::npos;
    } else if (name == "content-length" && (!parse_length(value, length) || *length > kBodyMax)) {
      resync_ = true;
      return fail(line_, "Content-Length is not a number up to 64 MiB");
    }
  }
  if (!have_host) out->host = host.empty() ? default_host_ : host;
  if (!valid_host(out->host)) return fail(start, "the Host holds blanks or control characters");
  return 0;
}

int Reader::read_body(unsigned start, long long length, std::string *body) {
  body->assign(static_cast<size_t>(length), '\0');
  if (length > 0) in_.read(body->data(), length);
  const long long got = length > 0 ? in_.gcount() : 0;
  bytes_ += static_cast<uint64_t>(got);
  body->resize(static_cast<size_t>(got));
  line_ += static_cast<unsigned>(std::count(body->begin(), body->end(), '\n'));
  if (got < length)
    return fail(start, "the body ends after " + std::to_string(got) + " of its " +
                           std::to_string(length) + " bytes (Content-Length)");
  return 0;
}

int Reader::read_chunked(unsigned start, std::string *body) {
  std::string line, chunk;
  for (;;) {
    if (!getline(&line)) return fail(start, "the chunked body ends without its last chunk");
    char *end = nullptr;
    long long size = strtoll(line.c_str(), &end, 16);
    if (end == line.c_str() || size < 0 || size > kBodyMax ||
        static_cast<long long>(body->size()) + size > kBodyMax)
      return fail(line_, "a chunk size is not a hexadecimal number up to 64 MiB");
    if (size == 0) break;
    if (read_body(start, size, &chunk) < 0) return -1;
    *body += chunk;
    if (!getline(&line) || !line.empty()) return fail(line_, "a chunk is longer than its size");
  }
  while (getline(&line) && !is_blank(line)) {
  }  // trailer fields are not arguments
  return 0;
}

}  // namespace mlfeed

#include "traffic/request_parse.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace traffic {

namespace {

constexpr int kSkip = 2;            // next_combined: a line without a request
constexpr size_t kBlock = 1 << 16;  // bytes read at once from a body

const std::string kLost =
    "; the rest of the input is not read, as what follows cannot be told from a body";

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_blank(const std::string &line) { return trim(line).empty(); }

bool is_method(std::string_view m) {
  if (m.empty() || m.size() > 32) return false;
  return std::all_of(m.begin(), m.end(), [](char c) { return (c >= 'A' && c <= 'Z') || c == '-'; });
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

// A chunk-size line: 1 to 15 hexadecimal digits, then nothing or an
// extension after ';'. Signs, blanks before the digits and "0x" are refused:
// a lenient reader and a strict server would frame the stream differently.
bool parse_chunk_size(std::string_view line, long long *out) {
  size_t n = 0;
  long long v = 0;
  for (; n < line.size() && hex_digit(line[n]) >= 0; n++) {
    if (n == 15) return false;
    v = v * 16 + hex_digit(line[n]);
  }
  if (n == 0) return false;
  std::string_view rest = trim(line.substr(n));
  if (!rest.empty() && rest[0] != ';') return false;
  *out = v;
  return true;
}

// "WORD ... HTTP/x": a line in the place of a request line that is meant as
// one, even when its method or target is unreadable; its head and body can
// still be found and skipped.
bool ends_with_protocol(std::string_view line) {
  size_t last = line.rfind(' ');
  return last != std::string_view::npos && last > 0 && line.substr(last + 1).starts_with("HTTP/");
}

bool is_form(std::string_view content_type) {
  size_t semi = content_type.find(';');
  return lower(trim(content_type.substr(0, semi))) == "application/x-www-form-urlencoded";
}

}  // namespace

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

bool valid_host(std::string_view h) {
  return std::all_of(h.begin(), h.end(), [](char c) {
    return static_cast<unsigned char>(c) > ' ' && static_cast<unsigned char>(c) < 0x7f;
  });
}

bool parse_arguments(std::string_view text, std::vector<Argument> *out, size_t max) {
  while (!text.empty()) {
    size_t amp = text.find('&');
    std::string_view part = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    size_t eq = part.find('=');
    std::string name = url_decode(part.substr(0, eq), true);
    if (name.empty()) continue;
    if (out->size() >= max) return false;
    std::string value = eq == std::string_view::npos ? "" : url_decode(part.substr(eq + 1), true);
    out->push_back({std::move(name), std::move(value)});
  }
  return true;
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

bool request_arguments(std::string_view query, std::string_view content_type, std::string_view body,
                       size_t max, std::vector<Argument> *out) {
  return parse_arguments(query, out, max) &&
         (!is_form(content_type) || parse_arguments(body, out, max));
}

int decode_request(std::string_view method, std::string_view target, std::string_view host,
                   std::string_view content_type, std::string_view body, const Limits &limits,
                   Request *out, std::string *err) {
  *out = Request{};
  out->method = std::string(method.substr(0, 32));
  std::string query;
  if (!split_target(target, &out->host, &out->path, &query)) {
    *err = "the request target is neither /path nor http://host/path";
    return -1;
  }
  if (out->host.empty()) out->host = normal_host(host);
  if (!valid_host(out->host)) {
    *err = "the host holds blanks or control characters";
    return -1;
  }
  if (!request_arguments(query, content_type, body, limits.args, &out->args)) {
    *err = "more than " + std::to_string(limits.args) + " arguments";
    return -1;
  }
  return 0;
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

// What a raw request's head says about the request and its body. A fault
// found in the head is kept, and the request refused only once its body is
// skipped, so that the body is never read as requests.
struct Reader::Head {
  unsigned start = 0;    // line of the request line
  size_t bytes = 0;      // bytes of the head so far
  std::string host;      // the Host header, normalised
  std::string type;      // Content-Type
  long long length = 0;  // Content-Length; 0 without
  bool has_length = false;
  bool chunked = false;
  bool framed = true;  // false: the body's end cannot be known
  std::string error;   // the first fault, refused after the body
  unsigned error_line = 0;
  std::vector<Header> headers;  // every header line, with keep_raw only

  void note(unsigned line, const std::string &what) {
    if (!error.empty()) return;
    error = what;
    error_line = line;
  }
};

namespace {

// "1 MiB" for the default bounds, else the count of bytes.
std::string size_text(long long bytes) {
  if (bytes > 0 && bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

Reader::Reader(std::istream &in, Format format, std::string default_host, Limits limits)
    : in_(in), format_(format), default_host_(normal_host(default_host)), limits_(limits) {}

// Reads up to the next '\n' through the stream buffer, keeping at most
// the line bound: the rest of a longer line is counted and dropped.
Reader::Line Reader::getline(std::string *line) {
  line->clear();
  std::streambuf *sb = in_.rdbuf();
  bool any = false, too_long = false;
  for (;;) {
    const int c = sb->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      if (!any) return Line::end;
      break;
    }
    any = true;
    bytes_++;
    if (c == '\n') break;
    if (line->size() < limits_.line)
      line->push_back(static_cast<char>(c));
    else
      too_long = true;
  }
  line_++;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  if (!too_long) return Line::ok;
  line->clear();
  return Line::too_long;
}

std::string Reader::too_many_args() const {
  return "more than " + std::to_string(limits_.args) + " arguments";
}

int Reader::fail(unsigned line, const std::string &what) {
  error_ = what;
  error_line_ = line;
  return -1;
}

int Reader::lose(unsigned line, const std::string &what) {
  lost_ = true;
  return fail(line, what + kLost);
}

int Reader::next(Request *out) {
  for (;;) {
    if (lost_) return 0;
    std::string line;
    Line got;
    do {
      if ((got = getline(&line)) == Line::end) return 0;
    } while (got == Line::ok && is_blank(line));
    if (got == Line::too_long) {
      const std::string what = "longer than " + size_text(static_cast<long long>(limits_.line));
      if (format_ == Format::raw) return lose(line_, "a request line " + what);
      return fail(line_, "a line " + what);
    }
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
  if (!valid_host(out->host)) return fail(line_, "the host holds blanks or control characters");
  if (!parse_arguments(query, &out->args, limits_.args)) return fail(line_, too_many_args());
  if (keep_raw_) out->target = std::move(target);
  return 1;
}

int Reader::next_raw(const std::string &first, Request *out) {
  *out = Request{};
  out->line = line_;
  Head head;
  head.start = line_;
  head.bytes = first.size() + 1;
  if (!ends_with_protocol(first))
    return lose(head.start, "not an HTTP request line (METHOD TARGET HTTP/x.y)");
  std::string target, query, body;
  if (!split_request(first, &out->method, &target))
    head.note(head.start, "not an HTTP request line (METHOD TARGET HTTP/x.y)");
  else if (!split_target(target, &out->host, &out->path, &query))
    head.note(head.start, "the request target is neither /path nor http://host/path");
  if (!read_head(&head)) return -1;
  // Arguments need a form's body only; a replay needs any.
  const bool keep_body = keep_raw_ || is_form(head.type);
  if (head.chunked) {
    if (read_chunked(&head, keep_body ? &body : nullptr) < 0) return -1;
  } else if (!head.framed) {
    return lose(head.error_line, head.error);
  } else {
    const bool keep = keep_body && head.length <= limits_.body;
    const long long before = static_cast<long long>(bytes_);
    if (!read_body(head.length, keep ? &body : nullptr))
      return fail(head.start,
                  "the body ends after " + std::to_string(static_cast<long long>(bytes_) - before) +
                      " of its " + std::to_string(head.length) + " bytes (Content-Length)");
    if (head.length > limits_.body)
      head.note(head.start, "the body is longer than " + size_text(limits_.body));
  }
  if (out->host.empty()) out->host = head.host.empty() ? default_host_ : head.host;
  if (!head.error.empty()) return fail(head.error_line, head.error);
  if (!valid_host(out->host))
    return fail(head.start, "the host holds blanks or control characters");
  if (!request_arguments(query, head.type, body, limits_.args, &out->args))
    return fail(head.start, too_many_args());
  if (keep_raw_) {
    out->target = std::move(target);
    out->headers = std::move(head.headers);
    out->body = std::move(body);
  }
  return 1;
}

// Reads header lines up to the blank line (or the end of input), noting the
// Host, what the body needs, and the first fault. False when the head is too
// long to find its end (the input is then lost).
bool Reader::read_head(Head *head) {
  std::string line;
  for (;;) {
    const Line got = getline(&line);
    if (got == Line::end || (got == Line::ok && is_blank(line))) return true;
    head->bytes += line.size() + 1;
    if (got == Line::too_long || head->bytes > limits_.head) {
      lose(head->start, "the head of the request is longer than " +
                            size_text(static_cast<long long>(limits_.head)));
      return false;
    }
    if (line[0] == ' ' || line[0] == '\t') {  // folded continuation of the header before
      if (keep_raw_ && !head->headers.empty())
        head->headers.back().value.append(1, ' ').append(trim(line));
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
      head->note(line_, "header line without a name and ':' in the request of line " +
                            std::to_string(head->start));
      continue;
    }
    std::string name = lower(trim(std::string_view(line).substr(0, colon)));
    std::string_view value = trim(std::string_view(line).substr(colon + 1));
    if (keep_raw_)
      head->headers.push_back(
          {std::string(trim(std::string_view(line).substr(0, colon))), std::string(value)});
    long long length = 0;
    if (name == "host") {
      head->host = normal_host(value);
    } else if (name == "content-type") {
      head->type = value;
    } else if (name == "transfer-encoding") {
      head->chunked = lower(value).find("chunked") != std::string::npos;
    } else if (name == "content-length") {
      if (!parse_length(value, &length)) {
        head->framed = false;
        head->note(line_, "Content-Length is not a number");
      } else if (head->has_length && length != head->length) {
        head->framed = false;
        head->note(line_, "two Content-Length headers that differ");
      }
      head->length = length;
      head->has_length = true;
    }
  }
}

// Reads length bytes, appending them to body, or dropping them when body is
// null; a block at a time, so a stated length allocates nothing by itself.
// False when the input ends first.
bool Reader::read_body(long long length, std::string *body) {
  char block[kBlock];
  std::streambuf *sb = in_.rdbuf();
  while (length > 0) {
    const std::streamsize want = static_cast<std::streamsize>(
        std::min<long long>(length, static_cast<long long>(sizeof block)));
    const std::streamsize got = sb->sgetn(block, want);
    if (got <= 0) return false;
    bytes_ += static_cast<uint64_t>(got);
    line_ += static_cast<unsigned>(std::count(block, block + got, '\n'));
    if (body) body->append(block, static_cast<size_t>(got));
    length -= got;
  }
  return true;
}

// A chunked body, joined into body when not null. A body that grows past
// the body bound is dropped and the request refused, but still read to its end.
// 0, or -1 when the input ends or the chunks cannot be framed.
int Reader::read_chunked(Head *head, std::string *body) {
  std::string line;
  long long total = 0;
  for (;;) {
    const Line got = getline(&line);
    if (got == Line::end) return fail(head->start, "the chunked body ends without its last chunk");
    long long size = 0;
    if (got == Line::too_long || !parse_chunk_size(line, &size))
      return lose(line_, "a chunk size is not a hexadecimal number");
    if (size == 0) break;
    total += size;
    if (total > limits_.body && body) {
      body->clear();
      body->shrink_to_fit();
      body = nullptr;
    }
    if (!read_body(size, body))
      return fail(head->start, "the chunked body ends without its last chunk");
    if (getline(&line) != Line::ok || !line.empty())
      return lose(line_, "a chunk is longer than its size");
  }
  if (total > limits_.body)
    head->note(head->start, "the body is longer than " + size_text(limits_.body));
  for (size_t trailer = 0;;) {  // trailer fields are not arguments
    const Line got = getline(&line);
    if (got == Line::end || (got == Line::ok && is_blank(line))) return 0;
    trailer += line.size() + 1;
    if (got == Line::too_long || trailer > limits_.head)
      return lose(head->start, "the trailer of the chunked body is longer than " +
                                   size_text(static_cast<long long>(limits_.head)));
  }
}

}  // namespace traffic

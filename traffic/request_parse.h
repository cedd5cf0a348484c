// Request parsing for mlfeed: turns recorded HTTP traffic into the argument
// values the proxy would see, without any I/O of its own beyond the stream it
// is given, so that tests and other tools can call it directly.
//
// Two inputs are read. Raw HTTP requests (request line, headers, blank line,
// body) follow one another, as capture tools and public data sets store them;
// a body is as long as Content-Length says, or chunked. Access-log lines in
// the combined (or common) log format carry only the request line, so their
// arguments come from the query string alone and their host from the caller.
//
// Arguments come from the query string and, for raw requests, from bodies of
// type application/x-www-form-urlencoded. Names and values are decoded as a
// server decodes a form: '+' is a blank and %XX a byte; a '%' not followed by
// two hex digits stays as it is. Every occurrence of a repeated name is kept,
// in order, and so are empty values; parts with an empty name are dropped.
// What a caller does with them (mlfeed: one sample each, none for empty
// values) is its decision. docs/mlfeed.md has the full list of decisions.
//
// Malformed input is refused with the number of the line where the request
// begins (combined log: the line itself), and the reader resumes at the next
// request, so a caller may skip and go on. A raw request refused after its
// head still has its body skipped (by Content-Length or chunks), since a body
// read as requests would feed whatever it holds. When the end of a refused
// request cannot be known (a length that is not a number, a line where a
// request line should be), the rest of the input is not read at all.
//
// Every size is bounded before anything is buffered (kLineMax, kHeadMax,
// kBodyMax, kArgsMax): a line over its bound is read past byte by byte, a
// body over its bound (or one that carries no form, unless the reader keeps
// raw requests) a block at a time, neither kept, so hostile input costs time,
// never memory.
//
// Thread safety: a Reader is used by one thread; the free functions are pure.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace traffic {

struct Argument {
  std::string name;   // decoded
  std::string value;  // decoded; may be empty
};

// A header line as recorded: name and value without the blanks around them.
struct Header {
  std::string name;
  std::string value;
};

struct Request {
  unsigned line = 0;  // input line where the request begins (1-based)
  std::string method;
  std::string host;            // lower case, without a port; empty when unknown
  std::string path;            // percent-decoded, without query or fragment
  std::vector<Argument> args;  // query first, then body; in their order
  // Kept only by a Reader told to keep_raw(), for replaying the request as
  // it was recorded; empty otherwise.
  std::string target;           // as in the request line (a log's escapes undone)
  std::vector<Header> headers;  // in their order; a folded line joined by a blank
  std::string body;             // any type, chunks joined; none for log lines
};

enum class Format { automatic, raw, combined };

// Bounds no real capture reaches. Servers stop far below them (request lines
// of 8 KiB, header blocks of 100 lines of 8 KiB, 1,000 form fields in PHP and
// ASP.NET); beyond them input is refused rather than buffered.
constexpr size_t kLineMax = 1 << 20;        // bytes of one line (request line, header, log line)
constexpr size_t kHeadMax = 1 << 20;        // bytes of a request's head (or a chunked trailer)
constexpr long long kBodyMax = 64ll << 20;  // bytes of one body, after chunks are joined
constexpr size_t kArgsMax = 10000;          // arguments of one request, query and body

// The bounds a Reader applies; the defaults above unless a caller (the fuzz
// targets, whose inputs are small) wants them reachable.
struct Limits {
  size_t line = kLineMax;
  size_t head = kHeadMax;
  long long body = kBodyMax;
  size_t args = kArgsMax;
};

// s in lower case (ASCII), and s without the blanks and tabs around it, as
// header names and values are compared.
std::string lower(std::string_view s);
std::string_view trim(std::string_view s);

// True when every byte of host is printable ASCII and none is a blank: fit to
// be part of a URL key and to be printed. An empty host is fit.
bool valid_host(std::string_view host);

// Decodes %XX escapes and, when plus_is_space, '+' as a blank. A '%' not
// followed by two hex digits is kept literally.
std::string url_decode(std::string_view text, bool plus_is_space);

// Appends the arguments of an application/x-www-form-urlencoded text (a query
// string or a form body) to out. Parts with an empty name are dropped. False
// when out would grow past max arguments: out then holds max, and the rest of
// the text is not decoded.
bool parse_arguments(std::string_view text, std::vector<Argument> *out,
                     size_t max = static_cast<size_t>(-1));

// The arguments of a request: those of query, then, when content_type is
// application/x-www-form-urlencoded, those of body, appended to out. False
// when out would grow past max (out then holds max).
bool request_arguments(std::string_view query, std::string_view content_type, std::string_view body,
                       size_t max, std::vector<Argument> *out);

// A request a live proxy hands over, decoded as the Reader decodes a raw
// one: method, target (origin or absolute form), the Host header, its
// Content-Type and the body the proxy saw (empty when none). 0; -1 with *err
// when the target is unreadable, the host unfit, or the arguments more than
// limits.args (out->args then holds the first ones).
int decode_request(std::string_view method, std::string_view target, std::string_view host,
                   std::string_view content_type, std::string_view body, const Limits &limits,
                   Request *out, std::string *err);

// Splits a request target (origin form "/p?q" or absolute form
// "http://host/p?q") into its host (empty for origin form), decoded path and
// raw query. False when the target is empty or neither form.
bool split_target(std::string_view target, std::string *host, std::string *path,
                  std::string *query);

// The host as a URL id is keyed: lower case, a trailing ":port" removed.
std::string normal_host(std::string_view host);

// True when line looks like an HTTP request line ("GET /x HTTP/1.1").
bool is_request_line(std::string_view line);

class Reader {
 public:
  // in: the traffic; format: automatic picks raw when the first non-blank
  // line is a request line, else combined; default_host: the host of requests
  // that name none (every log line, raw requests without Host).
  Reader(std::istream &in, Format format, std::string default_host, Limits limits = {});

  // 1: a request in *out; 0: end of input; -1: malformed input, error() and
  // error_line() say what and where, *out is unspecified. Calling again after
  // -1 continues with the next request, or returns 0 when the refused
  // request's end could not be found (the error said so).
  int next(Request *out);

  // on: every request also keeps its raw target, header lines and body (up
  // to the body bound, whatever its type), so that it can be sent again as
  // recorded. Off by default: decoding arguments needs none of it.
  void keep_raw(bool on) { keep_raw_ = on; }

  const std::string &error() const { return error_; }
  unsigned error_line() const { return error_line_; }
  Format format() const { return format_; }  // decided once the first line is read
  uint64_t bytes_read() const { return bytes_; }

 private:
  struct Head;
  enum class Line { ok, end, too_long };

  Line getline(std::string *line);
  int fail(unsigned line, const std::string &what);
  int lose(unsigned line, const std::string &what);
  std::string too_many_args() const;
  int next_raw(const std::string &first, Request *out);
  int next_combined(const std::string &line, Request *out);
  bool read_head(Head *head);
  bool read_body(long long length, std::string *body);
  int read_chunked(Head *head, std::string *body);

  std::istream &in_;
  Format format_;
  std::string default_host_;
  Limits limits_;
  unsigned line_ = 0;
  uint64_t bytes_ = 0;
  std::string error_;
  unsigned error_line_ = 0;
  bool lost_ = false;  // a refused request's end is unknown: nothing more is read
  bool keep_raw_ = false;
};

}  // namespace traffic

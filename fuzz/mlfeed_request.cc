// mlfeed's reader on raw HTTP requests: request lines, headers, Content-Length
// and chunked bodies, targets and hosts, URL decoding and argument splitting,
// and the skipping of a refused request's body. Every request keeps the
// reader's promises (fuzz/mlfeed_check.h); reading the same bytes one byte
// per buffer refill gives the same requests, refusals and byte count, and so
// does keeping the recorded requests (mlfeed --send); and the
// form decoder never makes bytes (decoded text no longer than its source,
// arguments no more than its parts).
#include <cstdint>
#include <cstdlib>

#include "fuzz/mlfeed_check.h"

namespace {

void check_arguments(std::string_view text) {
  std::vector<traffic::Argument> args;
  const bool whole = traffic::parse_arguments(text, &args, 64);
  const size_t parts = static_cast<size_t>(std::count(text.begin(), text.end(), '&')) + 1;
  if (args.size() > parts || args.size() > 64 || (!whole && args.size() != 64)) abort();
  size_t bytes = 0;
  for (const auto &a : args) bytes += a.name.size() + a.value.size();
  if (bytes > text.size()) abort();
  const std::string decoded = traffic::url_decode(text, false);
  if (decoded.size() > text.size()) abort();
  if (text.find('%') == std::string_view::npos && decoded != text) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || size > 1 << 16) return 0;
  // The first two bytes set the bounds (small, so that they are reached).
  const traffic::Limits limits = fuzzcheck::limits_from(data[0], data[1]);
  const std::string text(reinterpret_cast<const char *>(data) + 2, size - 2);
  const fuzzcheck::Outcome whole = fuzzcheck::read_all(text, traffic::Format::raw, false, limits);
  const fuzzcheck::Outcome drip = fuzzcheck::read_all(text, traffic::Format::raw, true, limits);
  if (!fuzzcheck::same(whole, drip)) abort();
  const fuzzcheck::Outcome kept =
      fuzzcheck::read_all(text, traffic::Format::raw, false, limits, true);
  if (!fuzzcheck::same(whole, kept)) abort();
  check_arguments(text);
  std::string host, path, query;
  if (traffic::split_target(text, &host, &path, &query)) {
    if (path.empty() || (path[0] != '/' && path != "*")) abort();
    if (host.size() + path.size() + query.size() > text.size()) abort();
  }
  return 0;
}

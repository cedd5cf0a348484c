// mlfeed's reader on access-log lines: the request field found between the
// time and the status, the server's escapes undone, the target split, its
// host checked and its query decoded. Every request keeps the reader's
// promises (fuzz/mlfeed_check.h), is one line of its own, and reading the
// bytes one per refill changes nothing. The automatic format choice is made
// from the same bytes and must read them as one of the two formats would.
#include <cstdint>
#include <cstdlib>

#include "fuzz/mlfeed_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || size > 1 << 16) return 0;
  // The first two bytes set the bounds (small, so that they are reached).
  const traffic::Limits limits = fuzzcheck::limits_from(data[0], data[1]);
  const std::string text(reinterpret_cast<const char *>(data) + 2, size - 2);
  using traffic::Format;
  const fuzzcheck::Outcome whole = fuzzcheck::read_all(text, Format::combined, false, limits);
  if (!fuzzcheck::same(whole, fuzzcheck::read_all(text, Format::combined, true, limits))) abort();
  // One request per line at most; a line is a request, a refusal or skipped.
  for (size_t i = 1; i < whole.requests.size(); i++)
    if (whole.requests[i].line == whole.requests[i - 1].line) abort();
  const unsigned lines = static_cast<unsigned>(std::count(text.begin(), text.end(), '\n')) + 1;
  if (whole.requests.size() + whole.errors.size() > lines) abort();
  if (whole.bytes != text.size()) abort();  // a log is never lost: every line is read
  // The choice is made on the first non-blank line, unless that line is too
  // long to keep: it is then refused, and the next one decides.
  const fuzzcheck::Outcome chosen = fuzzcheck::read_all(text, Format::automatic, false, limits);
  if (!fuzzcheck::same(chosen, whole) &&
      !fuzzcheck::same(chosen, fuzzcheck::read_all(text, Format::raw, false, limits)) &&
      (chosen.errors.empty() || chosen.errors[0].second.find("longer") == std::string::npos))
    abort();
  return 0;
}

// The file of "mlctl judge -f", read from memory as from a file: a file is
// taken whole exactly when every line that is neither empty nor a comment
// parses; the jobs are those lines in order, each value free of line ends and
// no longer than its line; a refusal names the first bad line, with the jobs
// of the good lines before it. The lines are split apart here, by another
// route (std::string_view over the bytes), as the oracle.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/mlctl/job_file.h"
#include "tools/sample_push.h"

namespace {

constexpr size_t kMax = 64;  // a line bound the fuzzer reaches, beside the real one

// The oracle: the expected jobs and first bad line, from the bytes.
unsigned expect(std::string_view text, size_t max, std::vector<mlctl::job> *jobs) {
  unsigned lineno = 0;
  while (!text.empty()) {
    lineno++;
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    const bool too_long = line.size() > max;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!too_long && (line.empty() || line[0] == '#')) continue;
    mlpush::SampleLine l;
    if (too_long || !mlpush::parse_sample_line(line, &l)) return lineno;
    jobs->push_back({l.domain_id, l.url_id, l.arg_id, std::move(l.value)});
  }
  return 0;
}

bool same(const std::vector<mlctl::job> &a, const std::vector<mlctl::job> &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i].domain != b[i].domain || a[i].url != b[i].url || a[i].arg != b[i].arg ||
        a[i].value != b[i].value)
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 14) return 0;
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  for (const bool small : {false, true}) {
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!f) return 0;  // fmemopen refuses an empty buffer on some libcs
    std::vector<mlctl::job> jobs, want;
    const size_t max = small ? kMax : mlpush::kSampleLineMax;
    const unsigned bad = mlctl::read_job_lines(f, &jobs, max);
    fclose(f);
    const unsigned want_bad = expect(text, max, &want);
    if (bad != want_bad || !same(jobs, want)) abort();
    for (const auto &j : jobs)
      if (j.value.find('\n') != std::string::npos || j.value.size() > (small ? kMax : size))
        abort();
  }
  return 0;
}

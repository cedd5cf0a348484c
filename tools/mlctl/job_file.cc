#include "tools/mlctl/job_file.h"

namespace mlctl {

unsigned read_job_lines(FILE *f, std::vector<job> *jobs, size_t max) {
  std::string text;
  bool too_long = false;
  for (unsigned lineno = 1; mlpush::read_line(f, &text, &too_long, max); lineno++) {
    if (!too_long && (text.empty() || text[0] == '#')) continue;
    mlpush::SampleLine l;
    if (too_long || !mlpush::parse_sample_line(text, &l)) return lineno;
    jobs->push_back({l.domain_id, l.url_id, l.arg_id, std::move(l.value)});
  }
  return 0;
}

}  // namespace mlctl

// The input of "mlctl judge -f": one value to judge per line, written as
// ml_sample_push reads its sample files ("DOMAIN URL ARG VALUE", the value
// the rest of the line), so a file of samples can be judged as it is. The
// line parser is ml_sample_push's own (tools/sample_push.h): the two tools
// cannot drift apart. Empty lines and lines beginning with '#' are skipped;
// a line is read at most 1 MiB at a time, and a longer one is malformed.
//
// Thread safety: none needed; the caller owns the stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/sample_push.h"

namespace mlctl {

struct job {
  uint32_t domain = 0, url = 0, arg = 0;
  std::string value;
};

// Reads every line of f into jobs, in order, a line at most max bytes. 0 when
// all were read; else the number of the first malformed line (1-based), the
// jobs before it kept.
unsigned read_job_lines(FILE *f, std::vector<job> *jobs, size_t max = mlpush::kSampleLineMax);

}  // namespace mlctl

// Progress of a long mlfeed run on standard error: a bar redrawn in place on
// a terminal (requests, rate, share of the input read, time left), plain
// lines every few seconds when standard error is a file or a pipe, so that
// logs stay readable. The share and the time left are known only when the
// input's size is (regular files).
//
// Thread safety: one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace mlfeed {

class Progress {
 public:
  // enabled false: nothing is written. total_bytes 0: size not known. items:
  // what the second count counts ("samples", "values"), a static text.
  Progress(bool enabled, uint64_t total_bytes, const char *items);
  // Called after every request; writes only when it is time to.
  void update(unsigned long requests, unsigned long samples, uint64_t bytes);
  // The last state, and a line end on a terminal.
  void finish(unsigned long requests, unsigned long samples, uint64_t bytes);

 private:
  void draw(unsigned long requests, unsigned long samples, uint64_t bytes, bool last);

  bool enabled_, tty_;
  const char *items_;
  uint64_t total_;
  std::chrono::steady_clock::time_point start_, last_;
};

}  // namespace mlfeed

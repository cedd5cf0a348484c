#include "tools/mlfeed/progress.h"

#include <unistd.h>

#include <string>

namespace mlfeed {

namespace {

using clock_type = std::chrono::steady_clock;

std::string duration_text(double seconds) {
  char buf[32];
  const long s = static_cast<long>(seconds + 0.5);
  if (s >= 3600)
    snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

}  // namespace

Progress::Progress(bool enabled, uint64_t total_bytes, const char *items)
    : enabled_(enabled),
      tty_(isatty(STDERR_FILENO) == 1),
      items_(items),
      total_(total_bytes),
      start_(clock_type::now()),
      last_(start_) {}

void Progress::update(unsigned long requests, unsigned long samples, uint64_t bytes) {
  if (!enabled_) return;
  const auto now = clock_type::now();
  const auto every = tty_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(5000);
  if (now - last_ < every) return;
  last_ = now;
  draw(requests, samples, bytes, false);
}

void Progress::finish(unsigned long requests, unsigned long samples, uint64_t bytes) {
  if (!enabled_) return;
  draw(requests, samples, bytes, true);
}

void Progress::draw(unsigned long requests, unsigned long samples, uint64_t bytes, bool last) {
  const double secs = std::chrono::duration<double>(clock_type::now() - start_).count();
  const double rate = secs > 0 ? requests / secs : 0;
  const double share = total_ ? static_cast<double>(bytes) / static_cast<double>(total_) : 0;
  std::string where, eta;
  if (total_) {
    char buf[64];
    snprintf(buf, sizeof buf, " %3.0f%%", share * 100);
    where = buf;
    if (share > 0 && !last) eta = "  ETA " + duration_text(secs / share - secs);
  }
  std::string bar;
  if (tty_ && total_) {
    const int width = 24, full = static_cast<int>(share * width);
    bar = " [" + std::string(full, '#') + std::string(width - full, '.') + "]";
  }
  fprintf(stderr, "%smlfeed:%s%s %lu requests, %lu %s, %.0f req/s, %s%s%s", tty_ ? "\r" : "",
          bar.c_str(), where.c_str(), requests, samples, items_, rate, duration_text(secs).c_str(),
          eta.c_str(), tty_ ? "\033[K" : "\n");
  if (tty_ && last) fputc('\n', stderr);
  fflush(stderr);
}

}  // namespace mlfeed

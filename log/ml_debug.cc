#include "log/ml_debug.h"

#include <cstdarg>
#include <cstdio>

int enable_debug_print = 0;
std::atomic<int32_t> mldaemon_debug_level{0};

namespace {

constexpr size_t kTextMax = 8192;

void print_line(const char *tag, const char *func, int line, const char *fmt, va_list ap) {
  char text[kTextMax];
  vsnprintf(text, sizeof text, fmt, ap);
  char out[kTextMax + 256];
  snprintf(out, sizeof out, "%s[%s:%d]\t\"%s\"\n", tag, func, line, text);
  fputs(out, stdout);
}

}  // namespace

void ml_debug_line(const char *func, int line, const char *fmt, ...) {
  if (!enable_debug_print) return;
  va_list ap;
  va_start(ap, fmt);
  print_line("", func, line, fmt, ap);
  va_end(ap);
}

void ml_error_line(const char *func, int line, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  print_line("[ERR]", func, line, fmt, ap);
  va_end(ap);
}

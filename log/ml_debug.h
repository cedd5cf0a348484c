// Debug lines and model-building error lines, the one place every unit prints
// them from.
//
//   ML_DEBUG("Connect database failed");      -> [func:line]\t"Connect database failed"\n
//   ML_ERROR_LINE("mm_write_to_db_hmm:%d,%d failed", d, a);
//                                             -> [ERR][func:line]\t"..."\n
//
// The name in brackets is the operation operators know and grep for. A helper
// that does a step of several operations prints with ML_DEBUG_AS /
// ML_ERROR_LINE_AS and the name of the operation it works for, passed down by
// that operation (its __func__), never its own name.
//
// Debug lines appear on standard output only while enable_debug_print is set
// (chosen once at start); error lines always. Each line is written with one
// stdio call, so lines of different threads never mix within a line.
#pragma once

#include <atomic>
#include <cstdint>

// 1 when debug lines are printed; written once at start before any thread runs.
extern int enable_debug_print;
// Threshold of operational messages; written by the main thread, read by all.
extern std::atomic<int32_t> mldaemon_debug_level;

// Formats the text (at most 8191 characters) and prints it as a debug line.
void ml_debug_line(const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// The same, preceded by "[ERR]", printed whatever enable_debug_print says.
void ml_error_line(const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

#define ML_DEBUG(...)                                                       \
  do {                                                                      \
    if (enable_debug_print) ml_debug_line(__func__, __LINE__, __VA_ARGS__); \
  } while (0)

#define ML_ERROR_LINE(...) ml_error_line(__func__, __LINE__, __VA_ARGS__)

// The same lines under the name of the operation op, for helpers.
#define ML_DEBUG_AS(op, ...)                                            \
  do {                                                                  \
    if (enable_debug_print) ml_debug_line((op), __LINE__, __VA_ARGS__); \
  } while (0)

#define ML_ERROR_LINE_AS(op, ...) ml_error_line((op), __LINE__, __VA_ARGS__)

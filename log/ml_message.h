// Operational messages: the lines an operator sees on the system console and on
// every terminal that asked for them, also kept in the daemon log (system log 1)
// so they can be read back after the fact.
//
// A message is formatted once into the caller's own stack buffer (8192 bytes,
// longer text is cut to 8191 characters), appended to the daemon log unless
// is_sys_log_stop is set, and then written to /dev/console and to each
// /dev/pts/<digits> whose mode carries the other-execute bit (the bit
// `mesg y` sets). No lock is taken here: the system log serialises its own
// writers, and two threads' lines may interleave on a terminal. errno is the
// same after a message as before it. Every failure inside is silent.
//
// Daemon units do not call message() directly; they use MLD_MSG / MLD_ERR
// below, which gate on mldaemon_debug_level and add the common prefix.
#pragma once

#include <cstdint>

#include "log/ml_debug.h"

// Message levels; the threshold is mldaemon_debug_level (log/ml_debug.h).
constexpr int32_t MLD_ERROR = 0;
constexpr int32_t MLD_ALERT = 1;
constexpr int32_t MLD_WARN = 2;
constexpr int32_t MLD_INFO = 3;
constexpr int32_t MLD_TRACE = 4;
constexpr int32_t MLD_DEBUG = 5;

// The unit names operational messages carry; operators filter on them.
constexpr const char *MLD_UNIT_RECV = "ml_sample_recv";        // sample intake
constexpr const char *MLD_UNIT_PROCESS = "ml_sample_process";  // processing, arguments
constexpr const char *MLD_UNIT_CONF = "ml_redis_conf";         // policies, configuration

// Non-zero: messages skip the system log (they are still broadcast). Plain
// word, never set by the daemon itself; other programs of the facility may.
extern int is_sys_log_stop;

// "mld_error" ... "mld_debug" for levels 0..5; "" for any other level.
const char *mld_level_name(int level);

// Formats (8192-byte buffer), logs to system log 1 and broadcasts. No result.
void message(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// As message() for a ready text (null is ignored).
void message_cmdb(const char *text);
// As message() with a 1024-byte buffer (text cut to 1023 characters).
void message0(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Broadcast only; nothing reaches the system log (null is ignored).
void message1(const char *text);
// Formats (8192 bytes) and writes to system log 1 only, no broadcast. Returns
// is_sys_log_stop when it is non-zero (nothing written), else sys_log_print's
// result (0, or -1 when the record was not stored).
int message2(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Writes text to the console and/or the enabled terminals; silent on every
// failure, errno preserved. A null text writes nothing.
void broadcast_message(const char *text, int to_console, int to_terminals);

// Formats like message() and also prints the same text on standard output.
// The console/log part obeys the level gate of MLD_ERR; standard output always
// gets the line (like the "[ERR]" lines of ml_debug.h).
void mld_error_message(int broadcast, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The one way a unit emits a level-gated operational line:
//   MLD_MSG(MLD_INFO, "ml_sample_process", "check sample failed\n");
//   -> "[mld :   mld_info]<ml_sample_process:123> check sample failed\n"
// Produced only while mldaemon_debug_level >= level (level 0: not negative).
#define MLD_MSG(level, unit, fmt, ...)                                   \
  do {                                                                   \
    if (mldaemon_debug_level.load(std::memory_order_relaxed) >= (level)) \
      message("[mld : %10s]<%s:%d> " fmt, mld_level_name(level), unit,   \
              __LINE__ __VA_OPT__(, ) __VA_ARGS__);                      \
  } while (0)

// Level-0 line that also goes to standard output with the same text.
#define MLD_ERR(unit, fmt, ...)                                                        \
  mld_error_message(mldaemon_debug_level.load(std::memory_order_relaxed) >= MLD_ERROR, \
                    "[mld : %10s]<%s:%d> " fmt, mld_level_name(MLD_ERROR), unit,       \
                    __LINE__ __VA_OPT__(, ) __VA_ARGS__)
